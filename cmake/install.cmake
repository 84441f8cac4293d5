# Installation and packages. cmake --install gives
#   bin/                            quillaret-host, and on Windows the DLL
#   lib/                            on Linux the library
#   include/quillaret_console/      the loader, a single header: host_loader.h
#   lib/cmake/quillaret_console/    the package config, with the target quillaret_console::loader
#                                   and the function quillaret_console_copy_library
#   README.md
# and CPack packs that tree: a .tar.gz for Linux, a .zip for each Windows width, each with the
# install prefix as its top folder.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QC_PACKAGE_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillaret_console)

# Where each system keeps libraries: Windows loads a DLL from the program's folder first, so the
# DLL goes to bin/ beside quillaret-host; on Linux shared objects belong in lib/, and the
# installed quillaret-host finds it there through its run path. The DLL's import library stays
# out: hosts bind the entry points at run time, by name.
install(TARGETS quillaret_console
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
if(TARGET quillaret-host)
  if(NOT WIN32)
    file(RELATIVE_PATH QC_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(quillaret-host PROPERTIES INSTALL_RPATH "$ORIGIN/${QC_BIN_TO_LIB}")
  endif()
  install(TARGETS quillaret-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET quillaret-attach)
  install(TARGETS quillaret-attach RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET quillaret-web)
  install(TARGETS quillaret-web RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(TARGETS qc_loader EXPORT quillaret_console_targets
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES loader/host_loader.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillaret_console)
install(EXPORT quillaret_console_targets
  NAMESPACE quillaret_console::
  FILE quillaret_console-targets.cmake
  DESTINATION ${QC_PACKAGE_CONFIG_DIR})

if(WIN32)
  set(QC_LIBRARY_DIR ${CMAKE_INSTALL_BINDIR})
  set(QC_LIBRARY_FILE_NAME quillaret_console.dll)
else()
  set(QC_LIBRARY_DIR ${CMAKE_INSTALL_LIBDIR})
  set(QC_LIBRARY_FILE_NAME libquillaret_console.so)
endif()
configure_package_config_file(cmake/quillaret_console-config.cmake.in
  ${PROJECT_BINARY_DIR}/quillaret_console-config.cmake
  INSTALL_DESTINATION ${QC_PACKAGE_CONFIG_DIR}
  PATH_VARS QC_LIBRARY_DIR)
# Before 1.0 a minor version may change the interface. The check also refuses a package of the
# other width (a win32 package for a 64-bit host).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillaret_console-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillaret_console-config.cmake
              ${PROJECT_BINARY_DIR}/quillaret_console-config-version.cmake
  DESTINATION ${QC_PACKAGE_CONFIG_DIR})

# A package is unpacked into a host project's folder, where the README belongs at the top.
install(FILES README.md DESTINATION .)

# quillaret_console-<version>-<platform>: linux-x86_64, win32 or win64.
if(WIN32)
  if(QC_WINDOWS_ARCH STREQUAL "x64")
    set(QC_PACKAGE_PLATFORM win64)
  else()
    set(QC_PACKAGE_PLATFORM win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" QC_PACKAGE_PLATFORM)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Team Quillaret")
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${QC_PACKAGE_PLATFORM})
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
