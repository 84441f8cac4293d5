# qc_options (sanitizers) and qc_warnings: interface targets that every target links PRIVATE.
set(QC_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
option(QC_FUZZ "Build the fuzz targets with clang's libFuzzer (needs clang++)" OFF)
# Lets a test make any platform call fail on demand (src/platform/faults.h); the faults preset
# turns it on. Off, every failure point compiles to nothing.
option(QC_FAULT_INJECTION "Build the platform layer's failure points and the fault test" OFF)
# gcc's line and branch counters in every object (the coverage preset; scripts/coverage reads
# them with gcovr). The consoles' threads, the clients' and the web program's update the same
# counters at once: atomic updates keep them exact (racing ones make gcov write negative counts).
option(QC_COVERAGE "Build with gcc's coverage counters" OFF)

add_library(qc_options INTERFACE)
if(QC_SANITIZE)
  target_compile_options(qc_options INTERFACE -fsanitize=${QC_SANITIZE} -fno-omit-frame-pointer
                                              -fno-sanitize-recover=all)
  target_link_options(qc_options INTERFACE -fsanitize=${QC_SANITIZE})
endif()
if(QC_COVERAGE)
  target_compile_options(qc_options INTERFACE --coverage -fprofile-update=atomic)
  target_link_options(qc_options INTERFACE --coverage)
  # Programs that end with _Exit write their counters first (__gcov_dump).
  target_compile_definitions(qc_options INTERFACE QC_COVERAGE)
endif()
if(QC_FUZZ)
  # Coverage feedback for libFuzzer in every object, the library's included; only the fuzz
  # targets link the fuzzer's own main.
  target_compile_options(qc_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

add_library(qc_warnings INTERFACE)
target_compile_options(qc_warnings INTERFACE -Wall -Wextra -Wshadow -Wconversion
                                             -Wno-sign-conversion)
