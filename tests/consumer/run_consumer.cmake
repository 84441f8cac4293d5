# Packs a build of the library with CPack, unpacks the archive, builds the host project in this
# folder against it with the README's sample as its program, and runs the sample with a real
# client (run_sample.py). Run by CTest:
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DGENERATOR=<generator> -DBUILD_TYPE=<type>
#         -DREADME=<README.md> -DPYTHON=<python3> [-DTOOLCHAIN=<file>] [-DCXX=<compiler>]
#         [-DEMULATOR=<runner;args>] -DPORT_BLOCK=<n> -P run_consumer.cmake
# The console listens on the first port of the tests' port block n (20000 + 10 n, shifted by
# QC_TEST_PORT_OFFSET like every test port).
cmake_minimum_required(VERSION 3.25)

foreach(name BUILD_DIR WORK_DIR GENERATOR PORT_BLOCK README PYTHON)
  if(NOT DEFINED ${name} OR "${${name}}" STREQUAL "")
    message(FATAL_ERROR "${name} not given")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
endfunction()

set(offset 0)
if(DEFINED ENV{QC_TEST_PORT_OFFSET} AND "$ENV{QC_TEST_PORT_OFFSET}" MATCHES "^[0-9]+$")
  set(offset $ENV{QC_TEST_PORT_OFFSET})
endif()
math(EXPR port "20000 + ${offset} + 10 * ${PORT_BLOCK}")

# The package, as scripts/package makes it: its archive holds one folder, the install prefix.
file(REMOVE_RECURSE "${WORK_DIR}")
get_filename_component(cmake_bin "${CMAKE_COMMAND}" DIRECTORY)
run("packing ${BUILD_DIR}" "${cmake_bin}/cpack" --config "${BUILD_DIR}/CPackConfig.cmake"
    -B "${WORK_DIR}/dist")
file(GLOB archive "${WORK_DIR}/dist/*.tar.gz" "${WORK_DIR}/dist/*.zip")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
run("unpacking ${archive}" "${CMAKE_COMMAND}" -E chdir "${WORK_DIR}/unpacked"
    "${CMAKE_COMMAND}" -E tar xf "${archive}")
file(GLOB top RELATIVE "${WORK_DIR}/unpacked" "${WORK_DIR}/unpacked/*")
get_filename_component(archive_name "${archive}" NAME)
string(REGEX REPLACE "\\.(tar\\.gz|zip)$" "" archive_base "${archive_name}")
if(NOT top STREQUAL archive_base)
  message(FATAL_ERROR "${archive_name} should hold the one folder ${archive_base}, not: ${top}")
endif()
set(prefix "${WORK_DIR}/unpacked/${top}")
# Where each system looks for a library: Linux's lib/, Windows' program folder bin/.
if(archive MATCHES "\\.zip$")
  set(expected bin/quillaret_console.dll)
else()
  set(expected lib/libquillaret_console.so)
endif()
file(GLOB_RECURSE libraries RELATIVE "${prefix}" "${prefix}/*quillaret_console.dll"
     "${prefix}/*quillaret_console.so")
if(NOT libraries STREQUAL expected)
  message(FATAL_ERROR "the package should hold ${expected} alone, but holds: ${libraries}")
endif()

# The README's sample, exactly as the README shows it.
file(READ "${README}" readme)
set(marker "<!-- my_game.cpp: ")
string(FIND "${readme}" "${marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "no sample marked \"${marker}\" in ${README}")
endif()
string(SUBSTRING "${readme}" ${at} -1 readme)
string(FIND "${readme}" "```cpp\n" begin)
string(FIND "${readme}" "\n```\n" end)
if(begin EQUAL -1 OR end LESS begin)
  message(FATAL_ERROR "the sample in ${README} is no ```cpp block")
endif()
math(EXPR begin "${begin} + 7")
math(EXPR length "${end} + 1 - ${begin}")
string(SUBSTRING "${readme}" ${begin} ${length} sample)
file(WRITE "${WORK_DIR}/sample/my_game.cpp" "${sample}")

# A cross toolchain searches for packages only under its own root, so the package is named
# directly there; a native build finds it on the prefix path as a user's project would.
set(configure "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build"
    -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE} "-DQC_SAMPLE_DIR=${WORK_DIR}/sample")
if(TOOLCHAIN)
  list(APPEND configure "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}"
       "-Dquillaret_console_DIR=${prefix}/lib/cmake/quillaret_console")
else()
  list(APPEND configure "-DCMAKE_PREFIX_PATH=${prefix}")
endif()
if(CXX)
  list(APPEND configure "-DCMAKE_CXX_COMPILER=${CXX}")
endif()
run("configuring the consumer" ${configure})
run("building the consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")

# The program runs in a folder of its own: on Linux the library reads its profile file from
# the working directory.
file(MAKE_DIRECTORY "${WORK_DIR}/run")
file(GLOB program "${WORK_DIR}/build/my_game" "${WORK_DIR}/build/my_game.exe")
if(NOT program)
  message(FATAL_ERROR "no my_game in ${WORK_DIR}/build")
endif()
set(emulator "")
foreach(part IN LISTS EMULATOR)
  list(APPEND emulator "--emulator=${part}")
endforeach()
execute_process(COMMAND "${PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/run_sample.py" ${emulator}
                        --port ${port} --run-dir "${WORK_DIR}/run" "${program}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
                TIMEOUT 120)
message(STATUS "${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the sample's run failed (${result})")
endif()
