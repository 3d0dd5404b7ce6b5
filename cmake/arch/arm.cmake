# SPDX-License-Identifier: BSD-2-Clause-Patent
# 32-bit ARM as UEFI runs it: Thumb-2 code, soft-float calls.
tarnwick_architecture(arm COMPILE --target=armv7a-none-eabi -mthumb -mfloat-abi=soft)
