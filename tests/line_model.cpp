#include "line_model.h"

Calls LineModel::apply(EFI_INPUT_KEY key, LineEdit* edit) {
  const bool printable = key.UnicodeChar >= 0x20 && key.UnicodeChar <= 0x7E;
  dropped = false;
  *edit = LINE_EDITING;
  if (key.ScanCode == SCAN_ESC) {
    *edit = LINE_ESCAPED;
    return printed("\n");
  }
  if (key.UnicodeChar == u'\r' || key.UnicodeChar == u'\n') {
    *edit = LINE_ENTERED;
    return printed("\n");
  }
  if (key.UnicodeChar == u'\b' || key.ScanCode == SCAN_DELETE) {
    if (line.empty()) return {};
    line.pop_back();
    return {"OutputString \"\\b \\b\""};
  }
  if (!printable) return {};
  if (line.size() == LINE_CAPACITY - 1) {
    dropped = true;
    return {};
  }
  line += static_cast<char>(key.UnicodeChar);
  return printed(line.substr(line.size() - 1));
}

std::string line_buffer_fault(const LineBuffer& buffer, const std::string& expected) {
  if (buffer.line_length > LINE_CAPACITY - 1) return "line_length " + std::to_string(buffer.line_length);
  if (buffer.chars[buffer.line_length] != '\0') return "no NUL at line_length";
  for (UINTN n = 0; n < buffer.line_length; ++n) {
    if (buffer.chars[n] < 0x20 || buffer.chars[n] > 0x7E) return "unprintable byte at " + std::to_string(n);
  }
  const std::string held(buffer.chars, buffer.line_length);
  if (held != expected) return "holds \"" + held + "\" instead of \"" + expected + "\"";
  return "";
}
