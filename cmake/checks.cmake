# SPDX-License-Identifier: BSD-2-Clause-Patent
# Checks of the built images and the package, and end-to-end tests that boot the images in QEMU,
# run by pytest with Debian's python3; each end-to-end test boots its machine once for a group of
# checks. They are handed the build's own facts, and find its outputs in the build folder.
set(TARNWICK_PYTEST /usr/bin/python3 -m pytest -c ${CMAKE_SOURCE_DIR}/pytest.ini)

function(tarnwick_pytest name file label)
  add_test(NAME ${name} COMMAND ${TARNWICK_PYTEST} ${CMAKE_SOURCE_DIR}/tests/${file})
  set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT 300 SKIP_RETURN_CODE 77 ENVIRONMENT
    "TARNWICK_BUILD=${CMAKE_BINARY_DIR};TARNWICK_VERSION=${PROJECT_VERSION};TARNWICK_URL=${PROJECT_HOMEPAGE_URL};TARNWICK_SBAT_GENERATION=${TARNWICK_SBAT_GENERATION};${ARGN}")
endfunction()

# Variants of the x64 image, made from its objects by the same tools, in build/variants/: one with
# the firmware's watchdog left armed, one without .sbat, one of the next SBAT generation, and, built only when the image check asks
# for them, images with the faults the check must catch (tests/variants/faults.cpp).
get_property(objects GLOBAL PROPERTY TARNWICK_OBJECTS_x64)
set(variants ${CMAKE_BINARY_DIR}/variants)
tarnwick_compile(x64 ${CMAKE_SOURCE_DIR}/tests/variants/armed_entry.cpp ${variants}/armed-watchdog/entry.o
                 -I${CMAKE_SOURCE_DIR} ${TARNWICK_DEFINES})
tarnwick_link(x64 ${variants}/armed-watchdog ${variants}/armed-watchdog.efi
              "${objects};${variants}/armed-watchdog/entry.o" --entry=armed_entry)
execute_process(COMMAND ${TARNWICK_CLANG_DEFAULT} -print-prog-name=llvm-objcopy OUTPUT_VARIABLE objcopy
                OUTPUT_STRIP_TRAILING_WHITESPACE)
add_custom_command(
  OUTPUT ${variants}/without-sbat.efi
  COMMAND ${objcopy} --remove-section=.sbat ${CMAKE_BINARY_DIR}/image-x64/linked.elf ${variants}/without-sbat.elf
  COMMAND ${TARNWICK_PYTHON} -m tarnwick.elf2efi ${variants}/without-sbat.elf ${variants}/without-sbat.efi
  DEPENDS ${CMAKE_BINARY_DIR}/image-x64/linked.elf ${TARNWICK_LINK_DEPENDS}
  VERBATIM)
# The image as a security fix ships it, its SBAT generation one higher, for the revocation checks.
math(EXPR next_generation "${TARNWICK_SBAT_GENERATION} + 1")
tarnwick_objects(next_objects x64 ${variants}/next-generation ${next_generation})
tarnwick_link(x64 ${variants}/next-generation ${variants}/next-generation.efi "${next_objects}")
add_custom_target(variants ALL DEPENDS ${variants}/armed-watchdog.efi ${variants}/without-sbat.efi
                                       ${variants}/next-generation.efi)
foreach(fault pointer-table global initialised-global runtime-call)
  string(MAKE_C_IDENTIFIER "FAULT_${fault}" define)
  string(TOUPPER ${define} define)
  tarnwick_compile(x64 ${CMAKE_SOURCE_DIR}/tests/variants/faults.cpp ${variants}/${fault}/fault.o -D${define})
  tarnwick_link(x64 ${variants}/${fault} ${variants}/${fault}.efi "${objects};${variants}/${fault}/fault.o")
  add_custom_target(variant-${fault} DEPENDS ${variants}/${fault}.efi)
endforeach()

tarnwick_pytest(image_check image_test.py image)
set_tests_properties(image_check PROPERTIES RESOURCE_LOCK build)
tarnwick_pytest(package_check package_test.py package)
tarnwick_pytest(front_door_check front_door_test.py front_door)
add_test(NAME lint COMMAND make -s -C ${CMAKE_SOURCE_DIR} lint)
set_tests_properties(lint PROPERTIES LABELS lint TIMEOUT 120)
# Both run make, which runs apt-get, and apt-get runs one at a time.
set_tests_properties(front_door_check lint PROPERTIES RESOURCE_LOCK apt)

# A dialogue on every machine, the UEFI Shell where the firmware has one, and the ways to boot it
# (from the network on each, from boot menus as well on OVMF x64; from each medium of each), as the
# machine table of the test tools lists them.
# CTest starts the tests that take longest first (COST, about their seconds under TCG on two cores),
# so that the ones it runs at once end together, rather than a long one alone at the end.
set(cost_dialogue 60)
set(cost_shell 20)
set(cost_boot_paths 30)
set(cost_boot_paths_x64_edk2 80)
set(cost_installer 50)
set(cost_media 60)
set(cost_secure_boot 150)
set(cost_soak 65)
set(cost_watchdog 25)
set(machines ${CMAKE_SOURCE_DIR}/scripts/tarnwick/machines.py)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${machines})
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${CMAKE_SOURCE_DIR}/scripts
                        /usr/bin/python3 -m tarnwick.machines tests
                OUTPUT_VARIABLE machine_tests COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" machine_tests "${machine_tests}")
foreach(line IN LISTS machine_tests)
  # A machine is ARCH/FIRMWARE, a board the name of Debian's build of U-Boot for it.
  if(line MATCHES "^([a-z_]+) ([A-Za-z0-9_/-]+)$")
    string(REPLACE "/" "_" name ${CMAKE_MATCH_2})
    set(test ${CMAKE_MATCH_1}_${name})
    tarnwick_pytest(e2e_${test} e2e/test_${CMAKE_MATCH_1}.py e2e TARNWICK_MACHINE=${CMAKE_MATCH_2})
    set(cost ${cost_${CMAKE_MATCH_1}})
    if(DEFINED cost_${test})
      set(cost ${cost_${test}})
    endif()
    set_tests_properties(e2e_${test} PROPERTIES COST ${cost})
  endif()
endforeach()

foreach(group watchdog secure_boot soak)
  tarnwick_pytest(e2e_${group} e2e/test_${group}.py e2e)
  set_tests_properties(e2e_${group} PROPERTIES COST ${cost_${group}})
endforeach()
