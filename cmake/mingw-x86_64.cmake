# Toolchain for the 64-bit Windows DLL: MinGW-w64 (x86-64), tests under wine64. The wine
# wrapper prefers the 32-bit loader, so the 64-bit one is named directly.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QC_MINGW_TRIPLET x86_64-w64-mingw32)
set(QC_WINE_LOADER_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
