# SPDX-License-Identifier: BSD-2-Clause-Patent
# The images, one per architecture of cmake/arch/, each made one way: clang compiles the sources for
# an ELF target as position-independent code with hidden visibility, into LLVM bitcode; ld.lld links
# them once with cmake/image.ld, optimising the whole image at once; elf2efi.py writes the PE file.
# Only the flags below and the fragment's reach the tools, never CFLAGS, CXXFLAGS or LDFLAGS from
# the environment. build/image-<arch>/ holds the objects, the linked ELF file and the code the
# linker generated machine code from (linked.ll, for the stack bound); build/tarnwick<arch>.efi is
# the image, and build/esp/ the EFI system partition folder with each under its removable-media name.
set(TARNWICK_PYTHON env PYTHONPATH=${CMAKE_SOURCE_DIR}/scripts TARNWICK_BUILD=${CMAKE_BINARY_DIR} /usr/bin/python3)
set(TARNWICK_COMPILE_FLAGS
  -std=c++17 -ffreestanding -fno-builtin -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-unwind-tables -fno-asynchronous-unwind-tables -fPIE -fvisibility=hidden -flto -Oz
  ${TARNWICK_WARNINGS})
# --save-temps keeps the code generation's input for the stack bound, .stack_sizes its frames; the
# machine outliner would add functions that the generated code does not show.
set(TARNWICK_LINK_FLAGS
  -static -pie --no-dynamic-linker -z max-page-size=4096 -T ${CMAKE_SOURCE_DIR}/cmake/image.ld --save-temps
  -mllvm -stack-size-section -mllvm -enable-machine-outliner=never)
set(TARNWICK_LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/image.ld ${CMAKE_SOURCE_DIR}/scripts/tarnwick/elf2efi.py)
find_program(TARNWICK_CLANG_DEFAULT clang++ REQUIRED)
find_program(TARNWICK_CLANG_19 clang++-19)

# An architecture of the images: `arch`, the compiler flags that make code for it, and link flags
# of its own. It gets the first clang that generates code for its target, and that clang's ld.lld.
function(tarnwick_architecture arch)
  cmake_parse_arguments(PARSE_ARGV 1 ARCH "" "" "COMPILE;LINK")
  foreach(clang IN ITEMS ${TARNWICK_CLANG_DEFAULT} ${TARNWICK_CLANG_19})
    execute_process(COMMAND ${clang} ${ARCH_COMPILE} -x c++ -c /dev/null -o /dev/null RESULT_VARIABLE failed
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT failed)
      execute_process(COMMAND ${clang} -print-prog-name=ld.lld OUTPUT_VARIABLE lld OUTPUT_STRIP_TRAILING_WHITESPACE)
      set_property(GLOBAL APPEND PROPERTY TARNWICK_ARCHES ${arch})
      set_property(GLOBAL PROPERTY TARNWICK_TOOLS_${arch} ${clang} ${lld})
      set_property(GLOBAL PROPERTY TARNWICK_COMPILE_${arch} ${ARCH_COMPILE})
      set_property(GLOBAL PROPERTY TARNWICK_LINK_${arch} ${ARCH_LINK})
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "No clang here generates code for ${arch} (${ARCH_COMPILE}); install clang-19")
endfunction()

# Compiles `source` for `arch` into `object`; further arguments are compiler flags.
function(tarnwick_compile arch source object)
  get_property(tools GLOBAL PROPERTY TARNWICK_TOOLS_${arch})
  get_property(target GLOBAL PROPERTY TARNWICK_COMPILE_${arch})
  list(GET tools 0 clang)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${clang} ${target} ${TARNWICK_COMPILE_FLAGS} ${ARGN} -MD -MF ${object}.d -c ${source} -o ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "Compiling ${source} for ${arch}"
    VERBATIM)
endfunction()

# Links `objects` for `arch` into `dir`/linked.elf and writes it as the image `image`; further
# arguments are ld.lld's.
function(tarnwick_link arch dir image objects)
  get_property(tools GLOBAL PROPERTY TARNWICK_TOOLS_${arch})
  get_property(target GLOBAL PROPERTY TARNWICK_COMPILE_${arch})
  get_property(link GLOBAL PROPERTY TARNWICK_LINK_${arch})
  list(GET tools 0 clang)
  list(GET tools 1 lld)
  add_custom_command(
    OUTPUT ${image} ${dir}/linked.elf ${dir}/linked.ll
    # The layout takes the last __image_base defined before it: the architecture's, if it has one.
    COMMAND ${lld} --defsym=__image_base=0x100000 ${link} ${TARNWICK_LINK_FLAGS} ${ARGN} -o ${dir}/linked.elf ${objects}
    COMMAND ${clang} ${target} -x ir -S -emit-llvm -Xclang -disable-llvm-passes -o ${dir}/linked.ll
            ${dir}/linked.elf.0.5.precodegen.bc
    COMMAND ${TARNWICK_PYTHON} -m tarnwick.elf2efi ${dir}/linked.elf ${image}
    DEPENDS ${objects} ${TARNWICK_LINK_DEPENDS}
    COMMENT "Linking ${image}"
    VERBATIM)
endfunction()

# The objects of `arch`'s image in `dir`, the SBAT record of the given generation.
function(tarnwick_objects out arch dir generation)
  set(objects)
  foreach(source IN LISTS TARNWICK_SOURCES)
    get_filename_component(name ${source} NAME_WE)
    tarnwick_compile(${arch} ${CMAKE_SOURCE_DIR}/${source} ${dir}/${name}.o ${TARNWICK_DEFINES}
                     -DTARNWICK_SBAT_GENERATION="${generation}")
    list(APPEND objects ${dir}/${name}.o)
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()

file(GLOB fragments CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/arch/*.cmake)
foreach(fragment IN LISTS fragments)
  include(${fragment})
endforeach()
get_property(TARNWICK_ARCHES GLOBAL PROPERTY TARNWICK_ARCHES)

set(images)
foreach(arch IN LISTS TARNWICK_ARCHES)
  set(dir ${CMAKE_BINARY_DIR}/image-${arch})
  set(image ${CMAKE_BINARY_DIR}/tarnwick${arch}.efi)
  tarnwick_objects(objects ${arch} ${dir} ${TARNWICK_SBAT_GENERATION})
  set_property(GLOBAL PROPERTY TARNWICK_OBJECTS_${arch} ${objects})
  tarnwick_link(${arch} ${dir} ${image} "${objects}")
  string(TOUPPER ${arch} boot_name)
  set(esp_copy ${CMAKE_BINARY_DIR}/esp/EFI/BOOT/BOOT${boot_name}.EFI)
  add_custom_command(OUTPUT ${esp_copy} COMMAND ${CMAKE_COMMAND} -E copy ${image} ${esp_copy} DEPENDS ${image})
  list(APPEND images ${image} ${esp_copy})
  install(FILES ${image} DESTINATION lib/tarnwick)
endforeach()
add_custom_target(images ALL DEPENDS ${images})

# The folder a TFTP and HTTP server serves, as the package ships it for an example.
set(netboot ${CMAKE_BINARY_DIR}/netboot-example)
add_custom_command(
  OUTPUT ${netboot}/dnsmasq.conf
  COMMAND ${TARNWICK_PYTHON} -m tarnwick.netboot --root ${CMAKE_INSTALL_PREFIX}/share/tarnwick/netboot ${netboot}
  DEPENDS ${images} ${CMAKE_SOURCE_DIR}/scripts/tarnwick/netboot.py
  VERBATIM)
add_custom_target(netboot ALL DEPENDS ${netboot}/dnsmasq.conf)
install(DIRECTORY ${netboot}/ DESTINATION share/tarnwick/netboot)

# What the Debian package installs beside the images: the tool that puts one on the ESP and the
# GRUB hook.
install(PROGRAMS linux/tarnwick-install DESTINATION sbin)
install(FILES linux/tarnwick-install.8 DESTINATION share/man/man8)
install(PROGRAMS linux/30_tarnwick DESTINATION /etc/grub.d)  # where GRUB looks, whatever the prefix
