// Where the firmware hands control to the image.
#pragma once

#include "efi.h"

extern "C" EFI_STATUS EFIAPI monitor_entry(EFI_HANDLE image_handle, EFI_SYSTEM_TABLE* system_table);
