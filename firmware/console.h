// SPDX-License-Identifier: BSD-2-Clause-Patent
// Console output and key input through the firmware pointers in FirmwareContext.
#pragma once

#include "efi.h"

// Hands a finished UCS-2 string to the firmware; nothing happens without an output protocol.
void console_write(const CHAR16* text);
// Writes one character; LF is written as CR LF.
void console_put_char(CHAR16 ch);
// Writes an 8-bit text one character per firmware call, each byte widened to one code unit.
void console_print(const char* text);
// Delivers the next keystroke, waiting for one when none is ready.
EFI_STATUS console_read_key(EFI_INPUT_KEY* key);
