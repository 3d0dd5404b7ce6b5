/* SPDX-License-Identifier: BSD-2-Clause-Patent */
/* The layout of every image: at the base __image_base (0x100000 unless the architecture says),
   its first page left to the PE headers, each section on a page of its own, the read-only data
   with the code. Code reaches everything relative
   to the program counter, so the tables of a position-independent link are left out; 32-bit x86
   code addresses its data relative to _GLOBAL_OFFSET_TABLE_, which the linker then puts at 0, so
   that every such offset is a link-time address and the register that holds the table's address
   holds how far the firmware moved the image. */
ENTRY(monitor_entry)
SECTIONS
{
  . = __image_base + CONSTANT(MAXPAGESIZE);
  .text : { *(.text .text.*) *(.rodata .rodata.* .srodata .srodata.*) }
  . = ALIGN(CONSTANT(MAXPAGESIZE));
  .sbat : { *(.sbat) }
  . = ALIGN(CONSTANT(MAXPAGESIZE));
  .data : { *(.data .data.* .sdata .sdata.*) }
  .bss (NOLOAD) : { *(.bss .bss.* .sbss .sbss.* COMMON) }
  /DISCARD/ : {
    *(.comment) *(.note .note.*) *(.eh_frame*) *(.riscv.attributes) *(.ARM.exidx*) *(.ARM.extab*) *(.ARM.attributes)
    *(.dynamic) *(.dynsym) *(.dynstr) *(.hash) *(.gnu.hash) *(.got.plt)
  }
}
