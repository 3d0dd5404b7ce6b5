# SPDX-License-Identifier: BSD-2-Clause-Patent
# libFuzzer targets, built with AddressSanitizer and UndefinedBehaviorSanitizer. CTest runs each for
# a short time; `make fuzz` runs them longer.
set(TARNWICK_FUZZ_TEST_SECONDS 10 CACHE STRING "seconds each fuzzer runs in the test suite")

tarnwick_host_library(tarnwick_fuzz_system -fsanitize=fuzzer-no-link ${TARNWICK_SANITIZERS})
foreach(target keys lines)
  add_executable(fuzz_${target} tests/fuzz/${target}_fuzz.cpp)
  target_compile_options(fuzz_${target} PRIVATE -g -O1 -fsanitize=fuzzer ${TARNWICK_SANITIZERS} -Wall -Wextra -Werror)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer ${TARNWICK_SANITIZERS})
  target_link_libraries(fuzz_${target} PRIVATE tarnwick_fuzz_system)
  add_test(NAME fuzz_${target}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/run-fuzzer.sh $<TARGET_FILE:fuzz_${target}>
            ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target} ${CMAKE_BINARY_DIR}/fuzz/${target}
            ${TARNWICK_FUZZ_TEST_SECONDS})
  set_tests_properties(fuzz_${target} PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
