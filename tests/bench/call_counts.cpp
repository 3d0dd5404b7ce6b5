// SPDX-License-Identifier: BSD-2-Clause-Patent
// Counts the firmware calls behind each answer and each keystroke, through the fake firmware.
// Prints one tab-separated row a case: what, OutputString calls, characters, key-input calls.
#include <cstdio>
#include <cstring>

#include "fake_firmware.h"
#include "firmware/console.h"
#include "monitor/monitor.h"

namespace {

struct Count {
  std::size_t output_calls = 0, characters = 0, key_calls = 0;
};

Count count(const FakeFirmware& fw) {
  Count c;
  for (const std::string& call : fw.calls) {
    if (call.rfind("OutputString", 0) == 0)
      ++c.output_calls;
    else if (call.rfind("ReadKeyStroke", 0) == 0 || call.rfind("WaitForEvent", 0) == 0)
      ++c.key_calls;
  }
  c.characters = fw.output.size();
  return c;
}

void row(const char* what, const Count& c) {
  std::printf("%s\t%zu\t%zu\t%zu\n", what, c.output_calls, c.characters, c.key_calls);
}

void answer(const char* line) {
  FakeFirmware fw;
  fw.connect();
  char buffer[LINE_CAPACITY] = {};
  std::strncpy(buffer, line, sizeof buffer - 1);
  monitor_interpret(buffer);
  row((std::string("answer to '") + line + "'").c_str(), count(fw));
}

void keystroke(const char* what, KeyStep step) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = {step};
  EFI_INPUT_KEY key;
  console_read_key(&key);
  LineBuffer line{};
  line.chars[0] = 'x';  // something to erase
  line.line_length = 1;
  line.chars[1] = '\0';
  monitor_edit_line(&line, key);
  row(what, count(fw));
}

}  // namespace

int main() {
  for (const char* line : {"help", "words", "pwd", ".properties", "boot", "boot Disk0", "hello"}) answer(line);
  keystroke("key ready at once, echoed", key_char(u'a'));
  keystroke("key after a wait, echoed", waited(key_char(u'a')));
  keystroke("backspace, erased", key_char(u'\b'));
  keystroke("cursor key, dropped", key_scan(0x01));
  keystroke("enter, line end", key_char(u'\r'));
  return 0;
}
