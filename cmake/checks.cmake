# Checks of the built image and end-to-end tests under QEMU+OVMF, run by pytest with Debian's python3.
set(TARNWICK_PYTEST /usr/bin/python3 -m pytest -q -s -p no:cacheprovider -rfE)

add_test(NAME image_check COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/image_test.py)
set_tests_properties(image_check PROPERTIES LABELS image TIMEOUT 120
  ENVIRONMENT TARNWICK_BUILD=${CMAKE_BINARY_DIR})

# Each file boots its own machine once for a group of checks.
foreach(group boot dialogue shell watchdog secure_boot soak)
  add_test(NAME e2e_${group} COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/e2e/test_${group}.py)
  set_tests_properties(e2e_${group} PROPERTIES LABELS e2e TIMEOUT 240
    ENVIRONMENT TARNWICK_BUILD=${CMAKE_BINARY_DIR})
endforeach()
