# SPDX-License-Identifier: BSD-2-Clause-Patent
# LoongArch 64 with the LP64D calling convention of UEFI on LoongArch; the link-time code generation
# is told it too, with the floating-point unit it implies. Its EDK2 hangs loading an image that
# prefers the base 0x100000, which it uses itself. clang has LoongArch from LLVM 16.
tarnwick_architecture(loongarch64 COMPILE --target=loongarch64-unknown-elf -mabi=lp64d
                      LINK -mllvm -mattr=+d -mllvm -target-abi=lp64d --defsym=__image_base=0x400000)
