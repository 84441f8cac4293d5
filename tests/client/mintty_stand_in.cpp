// Runs a program as Git Bash's mintty window runs it: standard input on a pipe named as
// MSYS names its terminals' pipes, standard output and error inherited. Exits with its status.
//   mintty_stand_in "COMMAND LINE"
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 125;
  const char* name = "\\\\.\\pipe\\msys-1888ae32e00d56aa-pty0-from-master";
  const HANDLE server =
      CreateNamedPipeA(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE input = CreateFileA(name, GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) return 126;
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = input;
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  if (CreateProcessA(nullptr, argv[1], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                     &child) == 0) {
    return 127;
  }
  // The pipe stays open and silent, as a terminal nobody types in: a program that read it as a
  // script would wait here until the time runs out.
  DWORD status = 124;
  if (WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0) {
    (void)GetExitCodeProcess(child.hProcess, &status);
  } else {
    (void)TerminateProcess(child.hProcess, 124);
  }
  return static_cast<int>(status);
}
