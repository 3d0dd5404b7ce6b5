// SPDX-License-Identifier: BSD-2-Clause-Patent
// The firmware's numbers as UEFI 2.x defines them, held by the tests on their own: the fake
// firmware answers with these and the tests expect these, so that a value the product's header has
// wrong fails a host test instead of agreeing with itself.
#pragma once

#include "firmware/efi.h"

// The x64 calling convention of every firmware function (the Microsoft one); the other
// architectures' is their C convention.
#if defined(__x86_64__)
#define FIRMWARE_CALL __attribute__((ms_abi))
#else
#define FIRMWARE_CALL
#endif

namespace uefi {

// Status codes: an error has the word's highest bit set; warnings are small positive values.
constexpr EFI_STATUS HIGH_BIT = EFI_STATUS{1} << (8 * sizeof(EFI_STATUS) - 1);
constexpr EFI_STATUS SUCCESS = 0;
constexpr EFI_STATUS LOAD_ERROR = HIGH_BIT | 1;
constexpr EFI_STATUS NOT_READY = HIGH_BIT | 6;
constexpr EFI_STATUS DEVICE_ERROR = HIGH_BIT | 7;
constexpr EFI_STATUS ABORTED = HIGH_BIT | 21;
constexpr EFI_STATUS WARN_UNKNOWN_GLYPH = 1;

constexpr bool is_error(EFI_STATUS status) { return (status & HIGH_BIT) != 0; }

// Scan codes of the Simple Text Input Protocol's keys without a character (the others the tests
// press are written where they press them, as is the text attribute, light grey on black: 0x07).
constexpr UINT16 SCAN_DELETE = 0x08;
constexpr UINT16 SCAN_ESC = 0x17;

}  // namespace uefi
