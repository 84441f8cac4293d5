# Toolchain for the 32-bit Windows DLL: MinGW-w64 (i686) cross compilers, static runtime
# libraries, and wine to run the test programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The -posix variants: GoogleTest needs std::thread and std::mutex, which the default win32
# thread model of this g++ lacks. The DLL itself uses Win32 threads directly.
set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-posix)  # C too: GoogleTest enables it
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthreads into every module, so the DLL and the test programs
# depend on system DLLs only (KERNEL32, msvcrt, and the socket library).
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest (and gtest_discover_tests) run the .exe test programs through wine, by way of a script
# that keeps wine's own processes off the tests' output.
find_program(QC_WINE wine)
if(QC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
