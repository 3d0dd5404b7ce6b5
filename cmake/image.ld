/* SPDX-License-Identifier: BSD-2-Clause-Patent */
/* How an image that is linked as ELF and then written out as PE by tarnwick.efi is laid out: as
   lld-link lays out the others, at the image base 0x100000, its first page kept for the headers
   and each section on a page of its own, the read-only data with the code. */
ENTRY(monitor_entry)
SECTIONS
{
  . = 0x101000;
  .text : { *(.text .text.*) *(.rodata .rodata.* .srodata .srodata.*) }
  . = ALIGN(0x1000);
  .sbat : { *(.sbat) }
  . = ALIGN(0x1000);
  .bss (NOLOAD) : { *(.bss .bss.* .sbss .sbss.*) }
  /DISCARD/ : { *(.comment) *(.note .note.*) *(.riscv.attributes) }
}
