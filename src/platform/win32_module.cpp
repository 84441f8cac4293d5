// The DLL's entry point. Loading and unloading the console library do nothing: sockets,
// threads and memory are all acquired by the first spawn and kept until the process ends.
// The image is linked with DllMain as its entry point and without the C runtime's start-up
// code, so nothing else runs when the library is loaded.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// The linker names this routine whenever it could have to patch imported data at load time.
// The library imports no data that way (its list of such patches is empty, which a test of
// the built image checks), so there is nothing to do.
extern "C" void _pei386_runtime_relocator(void) {}
