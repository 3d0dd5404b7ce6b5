# SPDX-License-Identifier: BSD-2-Clause-Patent
# The firmware images, one per row of the platform table, each built by its own rules apart from
# the host build: clang++ and the linker run with exactly the flags below and the table's, so
# nothing of CFLAGS, CXXFLAGS or LDFLAGS from the environment reaches an image. Objects go to
# build/image-<arch>/, the images to build/, and a copy of each to the EFI system partition folder
# build/esp/ under its removable-media name.
find_program(TARNWICK_CLANG NAMES clang++ clang++-14 REQUIRED)
find_program(TARNWICK_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(TARNWICK_LD_LLD NAMES ld.lld ld.lld-14 REQUIRED)
set(TARNWICK_PYTHON env PYTHONPATH=${CMAKE_SOURCE_DIR}/scripts /usr/bin/python3)

set(TARNWICK_IMAGE_FLAGS
  -std=c++17 -ffreestanding -fno-builtin -nostdinc++
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
  -fno-unwind-tables -fno-asynchronous-unwind-tables
  -Oz -fstack-usage
  ${TARNWICK_DEFINES} ${TARNWICK_WARNINGS})
# No /fixed: that would mark an image as stripped of relocations and pin it to its base.
set(TARNWICK_LINK_FLAGS
  /nologo /timestamp:0
  /subsystem:efi_application /entry:monitor_entry /nodefaultlib
  /base:0x100000 /filealign:0x200 /merge:.rdata=.text)

file(READ ${CMAKE_SOURCE_DIR}/platforms.json TARNWICK_TABLE)

# A JSON array of strings at the given path of the table, as a list.
function(tarnwick_table_list out)
  string(JSON count LENGTH "${TARNWICK_TABLE}" ${ARGN})
  set(items)
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(n RANGE ${last})
      string(JSON item GET "${TARNWICK_TABLE}" ${ARGN} ${n})
      list(APPEND items "${item}")
    endforeach()
  endif()
  set(${out} "${items}" PARENT_SCOPE)
endfunction()

# A list as a JSON array of strings.
function(tarnwick_json_array out)
  set(items)
  foreach(item IN LISTS ARGN)
    string(REPLACE "\\" "\\\\" item "${item}")
    string(REPLACE "\"" "\\\"" item "${item}")
    list(APPEND items "\"${item}\"")
  endforeach()
  list(JOIN items ", " joined)
  set(${out} "[${joined}]" PARENT_SCOPE)
endfunction()

# What the checks, the bench and the packaging need to know of the build, in build/tarnwick.json.
set(TARNWICK_FACTS "{\"version\": \"${PROJECT_VERSION}\", \"sbat_generation\": ${TARNWICK_SBAT_GENERATION},
  \"url\": \"${PROJECT_HOMEPAGE_URL}\", \"images\": {}}")
set(TARNWICK_IMAGES)
# For tarnwick-install: the kernel's machine name, the firmware's word size, the image.
set(TARNWICK_MACHINES "# uname -m, UEFI word size, image arch\n")

string(JSON image_count LENGTH "${TARNWICK_TABLE}" images)
math(EXPR last_image "${image_count} - 1")
foreach(row RANGE ${last_image})
  string(JSON arch GET "${TARNWICK_TABLE}" images ${row} arch)
  string(JSON file GET "${TARNWICK_TABLE}" images ${row} file)
  string(JSON link_method GET "${TARNWICK_TABLE}" images ${row} link)
  string(JSON boot_file GET "${TARNWICK_TABLE}" images ${row} boot_file)
  tarnwick_table_list(target_flags images ${row} compile)
  set(dir ${CMAKE_BINARY_DIR}/image-${arch})
  set(compile ${target_flags} ${TARNWICK_IMAGE_FLAGS})

  set(objects)
  set(sources)
  foreach(source IN LISTS TARNWICK_SOURCES)
    get_filename_component(name ${source} NAME_WE)
    set(object ${dir}/${name}.o)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${TARNWICK_CLANG} ${compile} -MD -MF ${object}.d -c ${CMAKE_SOURCE_DIR}/${source} -o ${object}
      DEPENDS ${CMAKE_SOURCE_DIR}/${source}
      DEPFILE ${object}.d
      COMMENT "Compiling ${source} for ${arch}"
      VERBATIM)
    list(APPEND objects ${object})
    list(APPEND sources ${CMAKE_SOURCE_DIR}/${source})
  endforeach()

  set(image ${CMAKE_BINARY_DIR}/${file})
  if(link_method STREQUAL "lld-link")
    string(JSON machine GET "${TARNWICK_TABLE}" images ${row} link_machine)
    set(link ${TARNWICK_LINK_FLAGS} /machine:${machine})
    set(linked ${dir}/image.map)
    add_custom_command(
      OUTPUT ${image} ${linked}
      COMMAND ${TARNWICK_LLD_LINK} ${link} /map:${linked} /out:${dir}/linked.efi ${objects}
      COMMAND ${TARNWICK_PYTHON} -m tarnwick.efi compact ${dir}/linked.efi ${image}
      DEPENDS ${objects} ${CMAKE_SOURCE_DIR}/scripts/tarnwick/efi.py
      COMMENT "Linking ${file}"
      VERBATIM)
  else()
    # Linked as ELF, where lld-link knows no such machine; the relocations stay in the file for
    # the checks to read.
    set(link -T ${CMAKE_SOURCE_DIR}/cmake/elf-image.ld --emit-relocs)
    set(linked ${dir}/linked.elf)
    add_custom_command(
      OUTPUT ${image} ${linked}
      COMMAND ${TARNWICK_LD_LLD} ${link} -o ${linked} ${objects}
      COMMAND ${TARNWICK_PYTHON} -m tarnwick.efi from-elf ${arch} ${linked} ${image}
      DEPENDS ${objects} ${CMAKE_SOURCE_DIR}/scripts/tarnwick/efi.py ${CMAKE_SOURCE_DIR}/cmake/elf-image.ld
      COMMENT "Linking ${file}"
      VERBATIM)
  endif()
  set(esp_copy ${CMAKE_BINARY_DIR}/esp/EFI/BOOT/${boot_file})
  add_custom_command(
    OUTPUT ${esp_copy}
    COMMAND ${CMAKE_COMMAND} -E copy ${image} ${esp_copy}
    DEPENDS ${image}
    VERBATIM)
  list(APPEND TARNWICK_IMAGES ${image} ${esp_copy})
  install(FILES ${image} DESTINATION lib/tarnwick RENAME tarnwick${arch}.efi)
  string(JSON pe_format GET "${TARNWICK_TABLE}" images ${row} pe_format)
  string(REPLACE "PE32+" 64 word "${pe_format}")
  string(REPLACE "PE32" 32 word "${word}")
  tarnwick_table_list(kernel_machines images ${row} kernel_machines)
  foreach(kernel_machine IN LISTS kernel_machines)
    string(APPEND TARNWICK_MACHINES "${kernel_machine} ${word} ${arch}\n")
  endforeach()

  tarnwick_json_array(compile_json ${compile})
  tarnwick_json_array(link_json ${link})
  tarnwick_json_array(objects_json ${objects})
  tarnwick_json_array(sources_json ${sources})
  string(JSON TARNWICK_FACTS SET "${TARNWICK_FACTS}" images ${arch} "{
    \"image\": \"${image}\", \"linked\": \"${linked}\", \"folder\": \"${dir}\",
    \"compile\": ${compile_json}, \"link\": ${link_json}, \"objects\": ${objects_json},
    \"sources\": ${sources_json}}")
endforeach()

add_custom_target(images ALL DEPENDS ${TARNWICK_IMAGES})

# What the Debian package installs: every image under its architecture's name, which one fits
# which machine, the tool that puts one on the ESP, and the GRUB hook.
file(WRITE ${CMAKE_BINARY_DIR}/machines "${TARNWICK_MACHINES}")
install(FILES ${CMAKE_BINARY_DIR}/machines DESTINATION lib/tarnwick)
install(PROGRAMS linux/tarnwick-install DESTINATION sbin)
install(FILES linux/tarnwick-install.8 DESTINATION share/man/man8)
install(PROGRAMS linux/30_tarnwick DESTINATION /etc/grub.d)  # where GRUB looks, whatever the prefix
file(WRITE ${CMAKE_BINARY_DIR}/tarnwick.json "${TARNWICK_FACTS}\n")
