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

# A dialogue on every machine of the platform table, and the UEFI Shell where the firmware has one.
string(JSON machine_count LENGTH "${TARNWICK_TABLE}" machines)
math(EXPR last_machine "${machine_count} - 1")
foreach(row RANGE ${last_machine})
  string(JSON arch GET "${TARNWICK_TABLE}" machines ${row} arch)
  string(JSON firmware GET "${TARNWICK_TABLE}" machines ${row} firmware)
  string(JSON secure_boot ERROR_VARIABLE absent GET "${TARNWICK_TABLE}" machines ${row} secure_boot)
  string(JSON shell ERROR_VARIABLE absent GET "${TARNWICK_TABLE}" machines ${row} shell)
  if(NOT secure_boot)
    tarnwick_pytest(e2e_dialogue_${arch}_${firmware} e2e/test_dialogue.py e2e TARNWICK_MACHINE=${arch}/${firmware})
  endif()
  if(shell)
    tarnwick_pytest(e2e_shell_${arch}_${firmware} e2e/test_shell.py e2e TARNWICK_MACHINE=${arch}/${firmware})
  endif()
endforeach()

foreach(group watchdog secure_boot soak boot_paths)
  tarnwick_pytest(e2e_${group} e2e/test_${group}.py e2e)
endforeach()
