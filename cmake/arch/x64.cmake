# SPDX-License-Identifier: BSD-2-Clause-Patent
# x86-64. The firmware calls with the Microsoft convention (EFIAPI); without the vector registers
# the entry point has none of them to save for it.
tarnwick_architecture(x64 COMPILE --target=x86_64-unknown-elf -mno-red-zone -mgeneral-regs-only)
