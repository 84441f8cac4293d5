# Installs a build of the library, builds the host project in this folder against the installed
# package with find_package(quillaret_console), and runs it. Run by CTest:
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DGENERATOR=<generator> -DBUILD_TYPE=<type>
#         [-DTOOLCHAIN=<file>] [-DCXX=<compiler>] [-DEMULATOR=<runner;args>] -DPORT_BLOCK=<n>
#         -P run_consumer.cmake
# The console listens on the first port of the tests' port block n (20000 + 10 n, shifted by
# QC_TEST_PORT_OFFSET like every test port).
cmake_minimum_required(VERSION 3.25)

foreach(name BUILD_DIR WORK_DIR GENERATOR PORT_BLOCK)
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
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

set(offset 0)
if(DEFINED ENV{QC_TEST_PORT_OFFSET} AND "$ENV{QC_TEST_PORT_OFFSET}" MATCHES "^[0-9]+$")
  set(offset $ENV{QC_TEST_PORT_OFFSET})
endif()
math(EXPR port "20000 + ${offset} + 10 * ${PORT_BLOCK}")

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/installed")
run("installing ${BUILD_DIR}" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# A cross toolchain searches for packages only under its own root, so the package is named
# directly there; a native build finds it on the prefix path as a user's project would.
set(configure "${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK_DIR}/build"
    -G "${GENERATOR}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
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

# The program runs in a folder of its own: on POSIX the library reads its profile file from
# the working directory.
file(MAKE_DIRECTORY "${WORK_DIR}/run")
file(GLOB program "${WORK_DIR}/build/qc_consumer_host" "${WORK_DIR}/build/qc_consumer_host.exe")
if(NOT program)
  message(FATAL_ERROR "no qc_consumer_host in ${WORK_DIR}/build")
endif()
execute_process(COMMAND ${EMULATOR} ${program} ${port} WORKING_DIRECTORY "${WORK_DIR}/run"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
                TIMEOUT 60)
message(STATUS "${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "qc_consumer_host failed (${result})")
endif()
