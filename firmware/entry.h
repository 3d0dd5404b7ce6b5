// SPDX-License-Identifier: BSD-2-Clause-Patent
// Where the firmware hands control to the image.
#pragma once

#include "efi.h"

extern "C" EFI_STATUS EFIAPI monitor_entry(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table);

// Caches the firmware pointers of the system table, before any output or input; the table must
// not be null.
inline void monitor_fill_context(EFI_SYSTEM_TABLE* system_table) {
  firmware_context.system_table = system_table;
  firmware_context.boot_services = system_table->BootServices;
  firmware_context.con_out = system_table->ConOut;
  firmware_context.con_in = system_table->ConIn;
}
