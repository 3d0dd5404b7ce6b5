# SPDX-License-Identifier: BSD-2-Clause-Patent
# RISC-V 64 with the base integer, multiply, atomic and compressed instructions; the medany code
# model reaches data relative to the program counter, and no linker relaxation rewrites the code.
tarnwick_architecture(riscv64 COMPILE --target=riscv64-unknown-elf -march=rv64imac -mabi=lp64 -mcmodel=medany -mno-relax)
