# SPDX-License-Identifier: BSD-2-Clause-Patent
# AArch64, without the floating-point and vector registers and without a frame pointer.
tarnwick_architecture(aa64 COMPILE --target=aarch64-unknown-elf -mgeneral-regs-only -fomit-frame-pointer)
