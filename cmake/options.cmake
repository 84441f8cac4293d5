# qc_options (sanitizers) and qc_warnings: interface targets that every target links PRIVATE.
set(QC_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
option(QC_FUZZ "Build the fuzz targets with clang's libFuzzer (needs clang++)" OFF)
# Lets a test make any platform call fail on demand (src/platform/faults.h); the faults preset
# turns it on. Off, every failure point compiles to nothing.
option(QC_FAULT_INJECTION "Build the platform layer's failure points and the fault test" OFF)

add_library(qc_options INTERFACE)
if(QC_SANITIZE)
  target_compile_options(qc_options INTERFACE -fsanitize=${QC_SANITIZE} -fno-omit-frame-pointer
                                              -fno-sanitize-recover=all)
  target_link_options(qc_options INTERFACE -fsanitize=${QC_SANITIZE})
endif()
if(QC_FUZZ)
  # Coverage feedback for libFuzzer in every object, the library's included; only the fuzz
  # targets link the fuzzer's own main.
  target_compile_options(qc_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

add_library(qc_warnings INTERFACE)
target_compile_options(qc_warnings INTERFACE -Wall -Wextra -Wshadow -Wconversion
                                             -Wno-sign-conversion)
