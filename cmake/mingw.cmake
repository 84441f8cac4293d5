# Shared part of the MinGW-w64 toolchain files: cross compilers for QC_MINGW_TRIPLET, static
# runtime libraries, and wine to run the test programs. Included by mingw-i686.cmake and
# mingw-x86_64.cmake, which name the processor, the triplet and the wine program.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix variants: GoogleTest needs std::thread and std::mutex, which the default win32
# thread model of this g++ lacks. The DLL itself uses Win32 threads directly.
set(CMAKE_C_COMPILER   ${QC_MINGW_TRIPLET}-gcc-posix)  # C too: GoogleTest enables it
set(CMAKE_CXX_COMPILER ${QC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${QC_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthreads into every module, so the DLL and the test programs
# depend on system DLLs only (KERNEL32, msvcrt, and the socket library).
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest (and gtest_discover_tests) run the .exe test programs through wine, by way of a script
# that keeps wine's own processes off the tests' output. The script is given the wine loader
# that runs programs of their width.
find_program(QC_WINE_LOADER ${QC_WINE_LOADER_NAME} PATHS /usr/lib/wine)
if(QC_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${QC_WINE_LOADER})
endif()
