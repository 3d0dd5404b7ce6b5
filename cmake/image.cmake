# The firmware build: the sources compiled freestanding for the UEFI x64 ABI.
add_library(tarnwick_image_objects OBJECT ${TARNWICK_SOURCES})
target_compile_options(tarnwick_image_objects PRIVATE
  --target=x86_64-unknown-windows
  -ffreestanding -fno-builtin -nostdinc++
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -mno-red-zone -fno-stack-protector
  -fno-unwind-tables -fno-asynchronous-unwind-tables
  -Os
  ${TARNWICK_WARNINGS})

