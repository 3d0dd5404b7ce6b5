# SPDX-License-Identifier: BSD-2-Clause-Patent
# Checks of the built images, and end-to-end tests that boot them in QEMU, run by pytest with
# Debian's python3. Each end-to-end test boots its machine once for a group of checks.
set(TARNWICK_PYTEST /usr/bin/python3 -m pytest -c ${CMAKE_SOURCE_DIR}/pytest.ini)

function(tarnwick_pytest name file label)
  add_test(NAME ${name} COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/${file})
  set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT 300
    ENVIRONMENT "TARNWICK_BUILD=${CMAKE_BINARY_DIR};${ARGN}")
endfunction()

tarnwick_pytest(image_check image_test.py image)
tarnwick_pytest(package_check package_test.py package)
tarnwick_pytest(front_door_check front_door_test.py front_door)

# A dialogue on every machine, and the UEFI Shell where the firmware has one, as the machine table
# of the test tools lists them.
set(machines ${CMAKE_SOURCE_DIR}/scripts/tarnwick/machines.py)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${machines})
execute_process(COMMAND /usr/bin/python3 ${machines} tests OUTPUT_VARIABLE machine_tests COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" machine_tests "${machine_tests}")
foreach(line IN LISTS machine_tests)
  if(line MATCHES "^([a-z]+) (([a-z0-9]+)/([a-z0-9-]+))$")
    tarnwick_pytest(e2e_${CMAKE_MATCH_1}_${CMAKE_MATCH_3}_${CMAKE_MATCH_4} e2e/test_${CMAKE_MATCH_1}.py e2e
                    TARNWICK_MACHINE=${CMAKE_MATCH_2})
  endif()
endforeach()

foreach(group watchdog secure_boot soak boot_paths)
  tarnwick_pytest(e2e_${group} e2e/test_${group}.py e2e)
endforeach()
