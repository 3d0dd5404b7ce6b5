// SPDX-License-Identifier: BSD-2-Clause-Patent
// How text reaches the firmware's OutputString, call by call: one call per character, an LF as
// one call with CR LF, the erase as one call. This is the one table that pins the split into
// calls; the other tests compare traces, which show the text but not how it was split.
#include "firmware/console.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_firmware.h"
#include "monitor/monitor.h"

namespace {

void edit(const char* line, KeyStep key) {
  LineBuffer buffer{};
  for (; *line != '\0'; ++line) buffer.chars[buffer.line_length++] = *line;
  monitor_edit_line(&buffer, key.key);
}

void interpret(const char* line) {
  char buffer[LINE_CAPACITY] = {};
  for (std::size_t n = 0; line[n] != '\0'; ++n) buffer[n] = line[n];
  monitor_interpret(buffer);
}

struct CallCase {
  const char* name;
  std::function<void()> action;
  Calls calls;
};

TEST(Console, OutputStringCallsAsWritten) {
  const CallCase cases[] = {
      {"print empty", [] { console_print(""); }, {}},
      {"print prompt",
       [] { console_print("0 > "); },
       {"OutputString \"0\"", "OutputString \" \"", "OutputString \">\"", "OutputString \" \""}},
      {"print two line ends", [] { console_print("\n\n"); }, {"OutputString \"\r\n\"", "OutputString \"\r\n\""}},
      {"print CR alone",
       [] { console_print("a\rb"); },
       {"OutputString \"a\"", "OutputString \"\r\"", "OutputString \"b\""}},
      {"print high bytes widened unsigned",
       [] { console_print("\x80\xA0\xFF"); },
       {"OutputString \"\\u0080\"", "OutputString \"\\u00A0\"", "OutputString \"\\u00FF\""}},
      {"put LF as CR LF", [] { console_put_char(u'\n'); }, {"OutputString \"\r\n\""}},
      {"put backspace as is", [] { console_put_char(u'\b'); }, {"OutputString \"\b\""}},
      {"write in one call", [] { console_write(u"\b \b"); }, {"OutputString \"\b \b\""}},
      {"echo of a key", [] { edit("", key_char(u'a')); }, {"OutputString \"a\""}},
      {"erase", [] { edit("ab", key_char(u'\b')); }, {"OutputString \"\b \b\""}},
      {"line end", [] { edit("ab", key_char(u'\r')); }, {"OutputString \"\r\n\""}},
      {"answer", [] { interpret("pwd"); }, {"OutputString \"/\"", "OutputString \"\r\n\""}},
  };
  for (const CallCase& c : cases) {
    FakeFirmware fw;
    fw.connect();
    c.action();
    EXPECT_EQ(fw.calls, c.calls) << c.name;
  }
}

// Without a usable output protocol every operation returns quietly and nothing is called.
TEST(Console, NothingIsCalledWithoutAnOutputProtocolOrItsOutputString) {
  for (bool protocol_missing : {true, false}) {
    FakeFirmware fw;
    fw.connect();
    if (protocol_missing)
      firmware_context.con_out = nullptr;
    else
      fw.con_out.OutputString = nullptr;
    console_print("help\n");
    console_put_char(u'x');
    console_write(u"x");
    EXPECT_TRUE(fw.calls.empty()) << "protocol missing: " << protocol_missing;
  }
}

}  // namespace
