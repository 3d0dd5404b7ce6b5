# SPDX-License-Identifier: BSD-2-Clause-Patent
# The same sources built for the host and linked into GoogleTest binaries against the fake firmware:
# once plain, each test a CTest case, and once under AddressSanitizer and UndefinedBehaviorSanitizer.
find_package(GTest REQUIRED)
include(GoogleTest)

set(TARNWICK_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(TARNWICK_TEST_SOURCES
  tests/console_test.cpp
  tests/dialogue_test.cpp
  tests/entry_test.cpp
  tests/fault_test.cpp
  tests/interpret_test.cpp)

# The system, the fake firmware and the model, built with the given extra flags.
function(tarnwick_host_library name)
  add_library(${name} STATIC ${TARNWICK_SOURCES} tests/fake_firmware.cpp tests/model.cpp)
  target_compile_options(${name} PRIVATE -O1 -g ${ARGN} ${TARNWICK_WARNINGS})
  target_compile_options(${name} PUBLIC ${TARNWICK_DEFINES} -DTARNWICK_SBAT_GENERATION="${TARNWICK_SBAT_GENERATION}")
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
endfunction()

function(tarnwick_host_tests name)
  tarnwick_host_library(${name}_system ${ARGN})
  add_executable(${name} ${TARNWICK_TEST_SOURCES})
  target_compile_options(${name} PRIVATE -g ${ARGN} -Wall -Wextra -Werror)
  target_link_options(${name} PRIVATE ${ARGN})
  target_link_libraries(${name} PRIVATE ${name}_system GTest::gtest_main)
endfunction()

tarnwick_host_tests(tarnwick_tests)
gtest_discover_tests(tarnwick_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS host)

tarnwick_host_tests(tarnwick_tests_sanitized ${TARNWICK_SANITIZERS})
add_test(NAME host_tests_sanitized COMMAND tarnwick_tests_sanitized)
set_tests_properties(host_tests_sanitized PROPERTIES LABELS sanitizers TIMEOUT 300)

# The model, for the end-to-end tests to load.
add_library(tarnwick_model SHARED tests/model.cpp)
target_compile_options(tarnwick_model PRIVATE ${TARNWICK_WARNINGS})
target_compile_options(tarnwick_model PRIVATE ${TARNWICK_DEFINES})
target_include_directories(tarnwick_model PRIVATE ${CMAKE_SOURCE_DIR})

# Firmware calls per answer and per keystroke, for the benchmark.
add_executable(tarnwick_call_counts tests/bench/call_counts.cpp)
target_compile_options(tarnwick_call_counts PRIVATE -Wall -Wextra -Werror)
target_link_libraries(tarnwick_call_counts PRIVATE tarnwick_tests_system)
