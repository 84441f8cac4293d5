# Reads the export and import tables of the built DLL and checks them against what a game host
# relies on. Run by CTest:
#   cmake -DOBJDUMP=<objdump> -DARCH=x86|x64 -DDLL=<quillaret_console.dll> -P check_windows_dll.cmake
#
# - a module of the width ARCH names (pei-i386 or pei-x86-64);
# - exactly the seven QCServer names an MSVC build of that width exports, byte for byte, and no
#   other export, named or by ordinal alone;
# - imports from KERNEL32.dll, WSOCK32.dll and msvcrt.dll only: the runtime libraries are linked
#   in, so no libstdc++, libgcc or winpthread DLL has to travel with it.
cmake_minimum_required(VERSION 3.25)

if(ARCH STREQUAL "x86")
  set(expected_format pei-i386)
  set(expected_exports
    "?SpawnServer@QCServer@@CA_NIPAD@Z"
    "?BroadcastMsg@QCServer@@CAXIPAD@Z"
    "?CheckSysMsg@QCServer@@CA_NPBD@Z"
    "?GetNextMessage@QCServer@@CAPBDI@Z"
    "?CheckReportMsg@QCServer@@CAPBDPAD@Z"
    "?TestDLL@QCServer@@CAPBDI@Z"
    "?GetFlagConfirm@QCServer@@CA_NI@Z")
elseif(ARCH STREQUAL "x64")
  # Pointers carry the E (64-bit) qualifier.
  set(expected_format pei-x86-64)
  set(expected_exports
    "?SpawnServer@QCServer@@CA_NIPEAD@Z"
    "?BroadcastMsg@QCServer@@CAXIPEAD@Z"
    "?CheckSysMsg@QCServer@@CA_NPEBD@Z"
    "?GetNextMessage@QCServer@@CAPEBDI@Z"
    "?CheckReportMsg@QCServer@@CAPEBDPEAD@Z"
    "?TestDLL@QCServer@@CAPEBDI@Z"
    "?GetFlagConfirm@QCServer@@CA_NI@Z")
else()
  message(FATAL_ERROR "ARCH must be x86 or x64, not \"${ARCH}\"")
endif()
# DLL names are case-insensitive on Windows, and import libraries spell them either way.
set(expected_imports KERNEL32.DLL MSVCRT.DLL WSOCK32.DLL)

if(NOT OBJDUMP OR NOT DLL)
  message(FATAL_ERROR
          "usage: cmake -DOBJDUMP=<objdump> -DARCH=x86|x64 -DDLL=<dll> -P check_windows_dll.cmake")
endif()
if(NOT EXISTS "${DLL}")
  message(FATAL_ERROR "no such file: ${DLL}")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}"
                OUTPUT_VARIABLE dump ERROR_VARIABLE dump_errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed (${result}): ${dump_errors}")
endif()

set(failures "")

if(NOT dump MATCHES "file format ${expected_format}\n")
  string(APPEND failures "not a ${expected_format} module\n")
endif()

# Export count: every exported function, named or not.
if(dump MATCHES "Export Address Table[ \t]+([0-9a-fA-F]+)")
  math(EXPR address_count "0x${CMAKE_MATCH_1}")
else()
  set(address_count 0)
endif()

# The names follow "[Ordinal/Name Pointer] Table", one "[   n] name" line each, up to a blank line.
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table\n" at)
if(at GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${at} -1 section)
  string(FIND "${section}" "\n\n" end)
  if(end GREATER_EQUAL 0)
    string(SUBSTRING "${section}" 0 ${end} section)
  endif()
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" entries "${section}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${entry}")
    list(APPEND exports "${name}")
  endforeach()
endif()

list(LENGTH expected_exports expected_count)
list(LENGTH exports export_count)
set(sorted_expected ${expected_exports})
list(SORT sorted_expected)
set(sorted_exports ${exports})
list(SORT sorted_exports)
if(NOT sorted_exports STREQUAL sorted_expected)
  list(JOIN sorted_exports "\n  " shown)
  list(JOIN sorted_expected "\n  " wanted)
  string(APPEND failures "exported names differ:\n  ${shown}\nexpected:\n  ${wanted}\n")
endif()
if(NOT address_count EQUAL expected_count)
  string(APPEND failures
         "${address_count} exported functions (named or by ordinal), expected ${expected_count}\n")
endif()

string(REGEX MATCHALL "\tDLL Name: [^\n]+" import_lines "${dump}")
set(imports "")
foreach(line IN LISTS import_lines)
  string(REGEX REPLACE "^\tDLL Name: " "" name "${line}")
  string(STRIP "${name}" name)
  string(TOUPPER "${name}" name)
  list(APPEND imports "${name}")
endforeach()
list(REMOVE_DUPLICATES imports)
list(SORT imports)
if(NOT imports STREQUAL expected_imports)
  list(JOIN imports ", " shown)
  list(JOIN expected_imports ", " wanted)
  string(APPEND failures "imported DLLs: ${shown}; expected exactly: ${wanted}\n")
endif()

if(failures)
  message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
list(JOIN imports ", " shown)
message(STATUS "${export_count} exports as expected; imports: ${shown}")
