# Checks of the built image and end-to-end tests under QEMU+OVMF, run by pytest with Debian's python3.
set(TARNWICK_PYTEST /usr/bin/python3 -m pytest -q -p no:cacheprovider -rfE)

add_test(NAME image_check COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/image_test.py)
set_tests_properties(image_check PROPERTIES LABELS image TIMEOUT 120
  ENVIRONMENT TARNWICK_BUILD=${CMAKE_BINARY_DIR})

add_test(NAME e2e_boot COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/e2e/test_boot.py)
set_tests_properties(e2e_boot PROPERTIES LABELS e2e TIMEOUT 240
  ENVIRONMENT TARNWICK_BUILD=${CMAKE_BINARY_DIR})
