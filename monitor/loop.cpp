// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "../firmware/console.h"
#include "monitor.h"

namespace {

constexpr CHAR16 ERASE[] = u"\b \b";

bool is_printable(CHAR16 ch) { return ch >= 0x20 && ch <= 0x7E; }

}  // namespace

LineEdit monitor_edit_line(LineBuffer* line, EFI_INPUT_KEY key) {
  // The order of the tests matters: the firmware delivers Esc by scan code whatever the character,
  // and Delete shares its scan code value with the backspace character.
  if (key.ScanCode == SCAN_ESC) {
    console_print("\n");
    return LINE_ESCAPED;
  }
  if (key.UnicodeChar == CHAR_CARRIAGE_RETURN || key.UnicodeChar == CHAR_LINEFEED) {
    line->chars[line->line_length] = '\0';
    console_print("\n");
    return LINE_ENTERED;
  }
  if (key.UnicodeChar == CHAR_BACKSPACE || key.ScanCode == SCAN_DELETE) {
    if (line->line_length > 0) {
      line->chars[--line->line_length] = '\0';
      console_write(ERASE);
    }
    return LINE_EDITING;
  }
  // The last byte stays reserved for the NUL; a full line drops characters without a signal.
  if (is_printable(key.UnicodeChar) && line->line_length + 1 < LINE_CAPACITY) {
    line->chars[line->line_length++] = static_cast<char>(key.UnicodeChar);
    line->chars[line->line_length] = '\0';
    console_put_char(key.UnicodeChar);
  }
  return LINE_EDITING;
}

EFI_STATUS monitor_run() {
  LineBuffer line;
  EFI_INPUT_KEY key;
  for (;;) {
    console_print("0 > ");
    line.line_length = 0;
    line.chars[0] = '\0';
    LineEdit edit = LINE_EDITING;
    while (edit == LINE_EDITING) {
      const EFI_STATUS status = console_read_key(&key);
      if (EFI_ERROR(status)) return status;
      edit = monitor_edit_line(&line, key);
    }
    if (edit == LINE_ESCAPED || monitor_interpret(line.chars) == MONITOR_LEAVE) return EFI_SUCCESS;
  }
}
