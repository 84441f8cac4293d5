# Checks that the shared library exports the seven QCServer entry points and nothing else.
# Run as: cmake -DLIBRARY=<path> -DNM=<nm> -P check_native_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
set(found "")
foreach(line IN LISTS names)
  string(STRIP "${line}" name)
  list(APPEND found "${name}")
endforeach()
list(SORT found)
set(expected
  _ZN8QCServer11CheckSysMsgEPKc
  _ZN8QCServer11SpawnServerEjPc
  _ZN8QCServer12BroadcastMsgEjPc
  _ZN8QCServer14CheckReportMsgEPc
  _ZN8QCServer14GetFlagConfirmEj
  _ZN8QCServer14GetNextMessageEj
  _ZN8QCServer7TestDLLEj)
if(NOT "${found}" STREQUAL "${expected}")
  message(FATAL_ERROR "exported symbols differ.\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: exactly the seven entry points")
