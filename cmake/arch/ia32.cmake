# SPDX-License-Identifier: BSD-2-Clause-Patent
# 32-bit x86, whose code reaches its data relative to _GLOBAL_OFFSET_TABLE_: ld.lld before LLVM 15
# defines that symbol for link-time optimised code only when it is asked for it.
tarnwick_architecture(ia32 COMPILE --target=i686-unknown-elf -mgeneral-regs-only LINK -u _GLOBAL_OFFSET_TABLE_)
