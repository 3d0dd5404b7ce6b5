# The same sources built for the host and linked into GoogleTest binaries against a fake firmware.
find_package(GTest REQUIRED)
include(GoogleTest)

add_library(tarnwick_host STATIC ${TARNWICK_SOURCES})
target_compile_options(tarnwick_host PRIVATE -O1 -g ${TARNWICK_WARNINGS})
target_include_directories(tarnwick_host PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(tarnwick_tests
  tests/fake_firmware.cpp
  tests/console_test.cpp
  tests/dialogue_test.cpp
  tests/entry_test.cpp
  tests/interpret_test.cpp)
target_compile_options(tarnwick_tests PRIVATE -g -Wall -Wextra -Werror)
target_link_libraries(tarnwick_tests PRIVATE tarnwick_host GTest::gtest_main)
gtest_discover_tests(tarnwick_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 30 LABELS host)
