# Reads the built DLL and checks that loading it runs nothing but DllMain, which returns at once.
# Run by CTest:  cmake -DOBJDUMP=<objdump> -DNM=<nm> -DDLL=<quillaret_console.dll> -P check_windows_load.cmake
#
# - the image's entry point is DllMain itself, not the C runtime's start-up code;
# - no TLS callbacks (they run at load and at every thread start);
# - an empty list of static constructors: with no start-up code, none would ever run;
# - an empty list of load-time patches of imported data (which only the start-up code applies).
cmake_minimum_required(VERSION 3.25)

if(NOT OBJDUMP OR NOT NM OR NOT DLL)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DNM=<nm> -DDLL=<dll> -P check_windows_load.cmake")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE dump_result)
execute_process(COMMAND "${NM}" "${DLL}" OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT dump_result EQUAL 0 OR NOT nm_result EQUAL 0)
  message(FATAL_ERROR "cannot read ${DLL}")
endif()

# The address of a symbol, as a number; fails the check when the symbol is missing.
function(symbol_address name out)
  string(REPLACE "@" "\\@" pattern "${name}")
  if(symbols MATCHES "(^|\n)([0-9a-fA-F]+) [A-Za-z] ${pattern}\n")
    math(EXPR value "0x${CMAKE_MATCH_2}" OUTPUT_FORMAT DECIMAL)
    set(${out} ${value} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${DLL}: no symbol ${name}")
  endif()
endfunction()

set(failures "")
# The C names of the linker's lists begin with two underscores; i386 symbols add one more.
if(dump MATCHES "file format pei-i386")
  set(pointer 4)
  set(entry_symbol "_DllMain@12")
  set(prefix "_")
else()
  set(pointer 8)
  set(entry_symbol "DllMain")
  set(prefix "")
endif()

if(NOT dump MATCHES "ImageBase[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "${DLL}: no ImageBase")
endif()
math(EXPR base "0x${CMAKE_MATCH_1}" OUTPUT_FORMAT DECIMAL)
if(NOT dump MATCHES "AddressOfEntryPoint[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "${DLL}: no AddressOfEntryPoint")
endif()
math(EXPR entry "${base} + 0x${CMAKE_MATCH_1}" OUTPUT_FORMAT DECIMAL)
symbol_address("${entry_symbol}" dll_main)
if(NOT entry EQUAL dll_main)
  string(APPEND failures "the entry point is not ${entry_symbol}\n")
endif()

if(NOT dump MATCHES "Entry 9 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Thread Storage Directory")
  message(FATAL_ERROR "${DLL}: no data directory entry for TLS")
endif()
set(tls "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
if(NOT tls MATCHES "^0+$")
  string(APPEND failures "a TLS directory (with callbacks that run at load)\n")
endif()

symbol_address("${prefix}__CTOR_LIST__" ctors)
symbol_address("${prefix}__DTOR_LIST__" dtors)
math(EXPR ctor_bytes "${dtors} - ${ctors}")
math(EXPR empty_list "2 * ${pointer}")  # the count word and the terminating zero
if(NOT ctor_bytes EQUAL empty_list)
  string(APPEND failures "static constructors ($ctor_bytes bytes of constructor list)\n")
endif()

symbol_address("${prefix}__RUNTIME_PSEUDO_RELOC_LIST__" relocs)
symbol_address("${prefix}__RUNTIME_PSEUDO_RELOC_LIST_END__" relocs_end)
if(NOT relocs EQUAL relocs_end)
  string(APPEND failures "imported data that must be patched at load\n")
endif()

if(failures)
  message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
message(STATUS "loading runs DllMain alone")
