// SPDX-License-Identifier: BSD-2-Clause-Patent
// Key input and the line editor, as dialogues: a key script in, the trace of firmware calls and
// the returned status out. A firmware call that fails or a member that is missing is a case of
// fault_test.cpp, which tries every call.
#include <gtest/gtest.h>

#include "fake_firmware.h"
#include "firmware/console.h"
#include "model.h"

namespace {

const KeyStep ENTER = key_char(u'\r');
const KeyStep BACKSPACE = key_char(u'\b');
const KeyStep DELETE = key_scan(uefi::SCAN_DELETE);
const KeyStep ESC = key_scan(uefi::SCAN_ESC);
const KeyStep K = key_char(u'k');

// The trace of keys that are ready at once, each read and echoed.
std::string echoed(const std::string& text) {
  std::string trace;
  for (char c : text) trace += "{read}" + std::string(1, c);
  return trace;
}

enum class Missing { NOTHING, CON_IN, BOOT_SERVICES };

void remove(Missing missing) {
  if (missing == Missing::CON_IN) firmware_context.con_in = nullptr;
  if (missing == Missing::BOOT_SERVICES) firmware_context.boot_services = nullptr;
}

struct ReadCase {
  const char* name;
  KeyStep key;
  Missing missing;
  std::string trace;
  EFI_STATUS status;
};

TEST(KeyInput, TraceAndStatus) {
  const ReadCase cases[] = {
      {"key waiting costs one read", K, Missing::NOTHING, "{read}", uefi::SUCCESS},
      {"no key waiting: wait once, read again", waited(K), Missing::NOTHING, "{read}{wait}{read}", uefi::SUCCESS},
      {"second not ready is the result", with_read_status(waited(K), uefi::NOT_READY), Missing::NOTHING,
       "{read}{wait}{read}", uefi::NOT_READY},
      {"no ConIn", K, Missing::CON_IN, "", uefi::LOAD_ERROR},
      {"no boot services", K, Missing::BOOT_SERVICES, "", uefi::LOAD_ERROR},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFirmware fw;
    fw.connect();
    fw.keys = {c.key};
    remove(c.missing);
    EFI_INPUT_KEY key{};
    EXPECT_EQ(console_read_key(&key), c.status);
    EXPECT_EQ(fw.trace, c.trace);
    if (!uefi::is_error(c.status)) EXPECT_EQ(key.UnicodeChar, u'k');
  }
}

TEST(KeyInput, WaitsForTheKeyEventAlone) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = {waited(K)};
  EFI_INPUT_KEY key{};
  console_read_key(&key);
  EXPECT_EQ(fw.calls[1], "WaitForEvent(1, WaitForKey, index 0)");
}

struct DialogueCase {
  const char* name;
  std::vector<KeyStep> keys;
  std::string trace;
  EFI_STATUS status;
};

const std::string LONG_LINE(127, 'x');

TEST(LineEditor, TraceAndStatus) {
  const DialogueCase cases[] = {
      {"erase then retype", keys({typed("ab"), {BACKSPACE}, typed("c"), {ENTER}}),
       "0 > {read}a{read}b{read}\b \b{read}c{read}\r\nunknown word: ac\r\n0 > {read}", END_OF_SCRIPT},
      {"erase on an empty line prints nothing",
       {BACKSPACE, DELETE, ENTER},
       "0 > {read}{read}{read}\r\n0 > {read}",
       END_OF_SCRIPT},
      {"delete erases the last character", keys({typed("pwdx"), {DELETE}, {ENTER}}),
       "0 > {read}p{read}w{read}d{read}x{read}\b \b{read}\r\n/\r\n0 > {read}", END_OF_SCRIPT},
      {"full line drops the rest", keys({typed(LONG_LINE + "yz"), {ENTER}}),
       "0 > " + echoed(LONG_LINE) + "{read}{read}{read}\r\nunknown word: " + LONG_LINE + "\r\n0 > {read}",
       END_OF_SCRIPT},
      {"full line still erases", keys({typed(LONG_LINE + "y"), {BACKSPACE}, typed("z"), {ENTER}}),
       "0 > " + echoed(LONG_LINE) + "{read}{read}\b \b{read}z{read}\r\nunknown word: " + LONG_LINE.substr(1) +
           "z\r\n0 > {read}",
       END_OF_SCRIPT},
      {"keys without a printable character change nothing",
       {key_char(u'\t'), key_scan(0x01), key_scan(0x04), key_scan(0x0B), key_char(0x7F), key_char(0xE9), key_char(0x1B),
        key_char(0), key_scan(0x0C, u'\r' + 0x100), ENTER},
       "0 > {read}{read}{read}{read}{read}{read}{read}{read}{read}{read}\r\n0 > {read}",
       END_OF_SCRIPT},
      {"the printable range's ends, space and tilde, are taken", keys({typed("p ~"), {ENTER}}),
       "0 > {read}p{read} {read}~{read}\r\nunknown word: p ~\r\n0 > {read}", END_OF_SCRIPT},
      {"just outside the printable range, 0x1F and 0x7F change nothing",
       {key_char(0x1F), key_char(0x7F), ENTER},
       "0 > {read}{read}{read}\r\n0 > {read}",
       END_OF_SCRIPT},
      {"backspace after one character empties the line", keys({typed("p"), {BACKSPACE}, {ENTER}}),
       "0 > {read}p{read}\b \b{read}\r\n0 > {read}", END_OF_SCRIPT},
      {"CR then LF ends two lines", typed("pwd\r\n"),
       "0 > {read}p{read}w{read}d{read}\r\n/\r\n0 > {read}\r\n0 > {read}", END_OF_SCRIPT},
      {"Esc mid-line leaves without interpreting", keys({typed("he"), {ESC}}), "0 > {read}h{read}e{read}\r\n",
       uefi::SUCCESS},
      {"Esc scan code leaves whatever its character",
       {key_scan(uefi::SCAN_ESC, u'\r')},
       "0 > {read}\r\n",
       uefi::SUCCESS},
      {"bye leaves", typed("bye\r"), "0 > {read}b{read}y{read}e{read}\r\n", uefi::SUCCESS},
      {"EXIT leaves", typed(" EXIT\n"), "0 > {read} {read}E{read}X{read}I{read}T{read}\r\n", uefi::SUCCESS},
      {"Quit leaves after an answer", typed("pwd\rQuit\r"),
       "0 > {read}p{read}w{read}d{read}\r\n/\r\n0 > {read}Q{read}u{read}i{read}t{read}\r\n", uefi::SUCCESS},
      {"waited keys are echoed",
       {waited(K), waited(ESC)},
       "0 > {read}{wait}{read}k{read}{wait}{read}\r\n",
       uefi::SUCCESS},
  };
  for (const DialogueCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFirmware fw;
    fw.connect();
    fw.keys = c.keys;
    EXPECT_EQ(monitor_run(), c.status);
    EXPECT_EQ(fw.trace, c.trace);
  }
}

TEST(LineEditor, ScreenShowsTheRetypedCharacterInPlaceOfTheErasedOne) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = keys({typed("ab"), {BACKSPACE}, typed("c"), {ESC}});
  monitor_run();
  EXPECT_EQ(fw.screen(), (std::vector<std::string>{"0 > ac", ""}));
}

}  // namespace
