// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "console.h"

namespace {
constexpr CHAR16 LINE_END[] = u"\r\n";
}

void console_write(const CHAR16* text) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = firmware_context.con_out;
  // A protocol without OutputString cannot show anything; calling through it would crash.
  if (out == nullptr || out->OutputString == nullptr) return;
  out->OutputString(out, text);
}

void console_put_char(CHAR16 ch) {
  if (ch == CHAR_LINEFEED) {
    console_write(LINE_END);
    return;
  }
  const CHAR16 text[2] = {ch, 0};
  console_write(text);
}

void console_print(const char* text) {
  // Widen through unsigned char: plain char is signed here and would turn 0x80..0xFF into 0xFF80..
  for (; *text != '\0'; ++text) console_put_char(static_cast<unsigned char>(*text));
}

EFI_STATUS console_read_key(EFI_INPUT_KEY* key) {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = firmware_context.con_in;
  EFI_BOOT_SERVICES* boot = firmware_context.boot_services;
  if (in == nullptr || boot == nullptr || in->ReadKeyStroke == nullptr || boot->WaitForEvent == nullptr) {
    return EFI_LOAD_ERROR;
  }
  EFI_STATUS status = in->ReadKeyStroke(in, key);
  if (status != EFI_NOT_READY) return status;

  // One wait and one retry: the firmware blocks until a key is there, so no polling is needed.
  EFI_EVENT events[1] = {in->WaitForKey};
  UINTN index = 0;
  status = boot->WaitForEvent(1, events, &index);
  if (EFI_ERROR(status)) return status;
  return in->ReadKeyStroke(in, key);
}
