# Toolchain for the 32-bit Windows DLL: MinGW-w64 (i686), tests under 32-bit wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QC_MINGW_TRIPLET i686-w64-mingw32)
set(QC_WINE_LOADER_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
