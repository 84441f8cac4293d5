// The DLL's start-up entry. Loading and unloading the console library do nothing: sockets,
// threads and memory are all acquired by the first spawn and kept until the process ends.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
