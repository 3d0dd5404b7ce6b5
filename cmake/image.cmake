# The firmware image: the sources built freestanding for the UEFI x64 ABI and linked by lld-link
# into a PE32+ EFI application with no imports, no base relocations and no runtime.
set(TARNWICK_IMAGE_FLAGS
  --target=x86_64-unknown-windows
  -ffreestanding -fno-builtin -nostdinc++
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -mno-red-zone -fno-stack-protector
  -fno-unwind-tables -fno-asynchronous-unwind-tables
  -Os -fstack-usage
  ${TARNWICK_WARNINGS})
# No /fixed: that would mark the image as stripped of relocations and pin it to its base. It needs
# none, since all its references are relative to the instruction pointer.
set(TARNWICK_LINK_FLAGS
  /nologo /timestamp:0
  /subsystem:efi_application /entry:monitor_entry /nodefaultlib
  /base:0x100000 /filealign:0x200 /merge:.rdata=.text)

add_library(tarnwick_image_objects OBJECT ${TARNWICK_SOURCES})
target_compile_options(tarnwick_image_objects PRIVATE ${TARNWICK_IMAGE_FLAGS})

set(TARNWICK_IMAGE ${CMAKE_BINARY_DIR}/tarnwick.efi)
set(TARNWICK_MAP ${CMAKE_BINARY_DIR}/tarnwick.map)
set(TARNWICK_ESP ${CMAKE_BINARY_DIR}/esp)
add_custom_command(
  OUTPUT ${TARNWICK_IMAGE} ${TARNWICK_MAP}
  COMMAND lld-link ${TARNWICK_LINK_FLAGS} /map:${TARNWICK_MAP} /out:${TARNWICK_IMAGE}
          $<TARGET_OBJECTS:tarnwick_image_objects>
  DEPENDS $<TARGET_OBJECTS:tarnwick_image_objects>
  COMMAND_EXPAND_LISTS
  VERBATIM)
# The EFI system partition as a folder: the image where firmware looks for a removable medium's loader.
add_custom_command(
  OUTPUT ${TARNWICK_ESP}/EFI/BOOT/BOOTX64.EFI
  COMMAND ${CMAKE_COMMAND} -E copy ${TARNWICK_IMAGE} ${TARNWICK_ESP}/EFI/BOOT/BOOTX64.EFI
  DEPENDS ${TARNWICK_IMAGE}
  VERBATIM)
add_custom_target(tarnwick_image ALL DEPENDS ${TARNWICK_IMAGE} ${TARNWICK_ESP}/EFI/BOOT/BOOTX64.EFI)

# How the image is built, for checks that build variants of it.
list(JOIN TARNWICK_IMAGE_FLAGS "\", \"" image_flags_json)
list(JOIN TARNWICK_LINK_FLAGS "\", \"" link_flags_json)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/image-build.json CONTENT "{
  \"compile\": [\"${image_flags_json}\"],
  \"link\": [\"${link_flags_json}\"],
  \"objects\": [\"$<JOIN:$<TARGET_OBJECTS:tarnwick_image_objects>,\", \">\"]
}
")

