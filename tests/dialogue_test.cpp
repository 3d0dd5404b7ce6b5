// Key input and the line editor, as dialogues: a key script in, the firmware calls and the
// returned status out.
#include <gtest/gtest.h>

#include <random>

#include "fake_firmware.h"
#include "firmware/console.h"
#include "line_model.h"
#include "monitor/monitor.h"

namespace {

const Calls READ = {"ReadKeyStroke"};
const Calls WAIT = {"WaitForEvent(1, WaitForKey, index 0)"};
const Calls ERASE = {"OutputString \"\\b \\b\""};
const Calls PROMPT = printed("0 > ");
const Calls LINE_END = printed("\n");
const KeyStep ENTER = key_char(u'\r');
const KeyStep BACKSPACE = key_char(u'\b');
const KeyStep DELETE = key_scan(SCAN_DELETE);
const KeyStep ESC = key_scan(SCAN_ESC);

// Keys that are ready at once, each read and echoed.
Calls keyed(const std::string& text) {
  Calls calls;
  for (char c : text) calls = sequence({calls, READ, printed(std::string(1, c))});
  return calls;
}

KeyStep with_read_status(KeyStep step, EFI_STATUS status) {
  step.read_status = status;
  return step;
}

KeyStep with_wait_status(KeyStep step, EFI_STATUS status) {
  step.wait_status = status;
  step.waited = true;
  return step;
}

enum class Missing { NOTHING, CON_IN, BOOT_SERVICES, READ_KEY_STROKE, WAIT_FOR_EVENT };

void remove(FakeFirmware& fw, Missing missing) {
  switch (missing) {
    case Missing::NOTHING:
      break;
    case Missing::CON_IN:
      firmware_context.con_in = nullptr;
      break;
    case Missing::BOOT_SERVICES:
      firmware_context.boot_services = nullptr;
      break;
    case Missing::READ_KEY_STROKE:
      fw.con_in.ReadKeyStroke = nullptr;
      break;
    case Missing::WAIT_FOR_EVENT:
      fw.boot_services.WaitForEvent = nullptr;
      break;
  }
}

struct ReadCase {
  const char* name;
  std::vector<KeyStep> keys;
  Missing missing;
  Calls calls;
  EFI_STATUS status;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadKeyTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadKeyTest, CallsAndStatus) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = GetParam().keys;
  remove(fw, GetParam().missing);
  EFI_INPUT_KEY key{};
  EXPECT_EQ(console_read_key(&key), GetParam().status);
  EXPECT_EQ(fw.calls, GetParam().calls);
  if (!EFI_ERROR(GetParam().status)) EXPECT_EQ(key.UnicodeChar, u'k');
}

const KeyStep K = key_char(u'k');

INSTANTIATE_TEST_SUITE_P(KeyInput, ReadKeyTest,
                         testing::Values(ReadCase{"KeyWaitingCostsOneRead", {K}, Missing::NOTHING, READ, EFI_SUCCESS},
                                         ReadCase{"NoKeyWaitingWaitsOnceThenReadsAgain",
                                                  {waited(K)},
                                                  Missing::NOTHING,
                                                  sequence({READ, WAIT, READ}),
                                                  EFI_SUCCESS},
                                         ReadCase{"SecondNotReadyIsTheResult",
                                                  {with_read_status(waited(K), EFI_NOT_READY)},
                                                  Missing::NOTHING,
                                                  sequence({READ, WAIT, READ}),
                                                  EFI_NOT_READY},
                                         ReadCase{"WaitErrorEndsWithoutSecondRead",
                                                  {with_wait_status(K, EFI_DEVICE_ERROR)},
                                                  Missing::NOTHING,
                                                  sequence({READ, WAIT}),
                                                  EFI_DEVICE_ERROR},
                                         ReadCase{"WaitWarningGoesOnToRead",
                                                  {with_wait_status(K, EFI_WARN_UNKNOWN_GLYPH)},
                                                  Missing::NOTHING,
                                                  sequence({READ, WAIT, READ}),
                                                  EFI_SUCCESS},
                                         ReadCase{"ReadWarningReturnedAsIs",
                                                  {with_read_status(K, EFI_WARN_UNKNOWN_GLYPH)},
                                                  Missing::NOTHING,
                                                  READ,
                                                  EFI_WARN_UNKNOWN_GLYPH},
                                         ReadCase{"ReadErrorReturnedAsIs",
                                                  {with_read_status(K, EFI_DEVICE_ERROR)},
                                                  Missing::NOTHING,
                                                  READ,
                                                  EFI_DEVICE_ERROR},
                                         ReadCase{"NoConIn", {K}, Missing::CON_IN, {}, EFI_LOAD_ERROR},
                                         ReadCase{"NoBootServices", {K}, Missing::BOOT_SERVICES, {}, EFI_LOAD_ERROR},
                                         ReadCase{"NoReadKeyStroke", {K}, Missing::READ_KEY_STROKE, {}, EFI_LOAD_ERROR},
                                         ReadCase{"NoWaitForEvent", {K}, Missing::WAIT_FOR_EVENT, {}, EFI_LOAD_ERROR}),
                         [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

struct DialogueCase {
  const char* name;
  std::vector<KeyStep> keys;
  Calls calls;
  EFI_STATUS status;
};

void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }

class DialogueTest : public testing::TestWithParam<DialogueCase> {};

TEST_P(DialogueTest, CallsAndStatus) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = GetParam().keys;
  EXPECT_EQ(monitor_run(), GetParam().status);
  EXPECT_EQ(fw.calls, GetParam().calls);
}

std::vector<KeyStep> keys(std::initializer_list<std::vector<KeyStep>> parts) { return joined(parts); }

const std::string LONG_LINE(127, 'x');

INSTANTIATE_TEST_SUITE_P(
    LineEditor, DialogueTest,
    testing::Values(
        DialogueCase{"EraseThenRetype", keys({typed("ab"), {BACKSPACE}, typed("c"), {ENTER}}),
                     sequence({PROMPT, keyed("ab"), READ, ERASE, keyed("c"), READ, LINE_END,
                               printed("unknown word: ac\n"), PROMPT, READ}),
                     END_OF_SCRIPT},
        DialogueCase{"EraseOnEmptyLinePrintsNothing",
                     {BACKSPACE, DELETE, ENTER},
                     sequence({PROMPT, READ, READ, READ, LINE_END, PROMPT, READ}),
                     END_OF_SCRIPT},
        DialogueCase{"DeleteErasesTheLastCharacter", keys({typed("pwdx"), {DELETE}, {ENTER}}),
                     sequence({PROMPT, keyed("pwdx"), READ, ERASE, READ, LINE_END, printed("/\n"), PROMPT, READ}),
                     END_OF_SCRIPT},
        DialogueCase{"FullLineDropsTheRest", keys({typed(LONG_LINE + "yz"), {ENTER}}),
                     sequence({PROMPT, keyed(LONG_LINE), READ, READ, READ, LINE_END,
                               printed("unknown word: " + LONG_LINE + "\n"), PROMPT, READ}),
                     END_OF_SCRIPT},
        DialogueCase{"FullLineStillErases", keys({typed(LONG_LINE + "y"), {BACKSPACE}, typed("z"), {ENTER}}),
                     sequence({PROMPT, keyed(LONG_LINE), READ, READ, ERASE, keyed("z"), READ, LINE_END,
                               printed("unknown word: " + LONG_LINE.substr(1) + "z\n"), PROMPT, READ}),
                     END_OF_SCRIPT},
        DialogueCase{
            "KeysWithoutPrintableCharacterChangeNothing",
            {key_char(u'\t'), key_scan(0x01), key_scan(0x04), key_scan(0x0B), key_char(0x7F), key_char(0xE9),
             key_char(0x1B), key_char(0), key_scan(0x0C, u'\r' + 0x100), ENTER},
            sequence({PROMPT, READ, READ, READ, READ, READ, READ, READ, READ, READ, READ, LINE_END, PROMPT, READ}),
            END_OF_SCRIPT},
        DialogueCase{
            "CrThenLfEndsTwoLines", keys({typed("pwd\r\n")}),
            sequence({PROMPT, keyed("pwd"), READ, LINE_END, printed("/\n"), PROMPT, READ, LINE_END, PROMPT, READ}),
            END_OF_SCRIPT},
        DialogueCase{"EscMidLineLeavesWithoutInterpreting", keys({typed("he"), {ESC}}),
                     sequence({PROMPT, keyed("he"), READ, LINE_END}), EFI_SUCCESS},
        DialogueCase{"EscScanCodeLeavesWhateverItsCharacter",
                     {key_scan(SCAN_ESC, u'\r')},
                     sequence({PROMPT, READ, LINE_END}),
                     EFI_SUCCESS},
        DialogueCase{"ByeLeaves", keys({typed("bye\r")}), sequence({PROMPT, keyed("bye"), READ, LINE_END}),
                     EFI_SUCCESS},
        DialogueCase{"ExitLeaves", keys({typed(" EXIT\n")}), sequence({PROMPT, keyed(" EXIT"), READ, LINE_END}),
                     EFI_SUCCESS},
        DialogueCase{
            "QuitLeavesAfterAnAnswer", keys({typed("pwd\rQuit\r")}),
            sequence({PROMPT, keyed("pwd"), READ, LINE_END, printed("/\n"), PROMPT, keyed("Quit"), READ, LINE_END}),
            EFI_SUCCESS},
        DialogueCase{"ReadErrorMidLineEndsAtOnce", keys({typed("he"), {with_read_status(K, EFI_DEVICE_ERROR)}}),
                     sequence({PROMPT, keyed("he"), READ}), EFI_DEVICE_ERROR},
        DialogueCase{"WaitErrorMidLineEndsAtOnce", keys({typed("he"), {with_wait_status(K, EFI_LOAD_ERROR)}}),
                     sequence({PROMPT, keyed("he"), READ, WAIT}), EFI_LOAD_ERROR},
        DialogueCase{"SecondNotReadyEndsTheDialogue",
                     {with_read_status(waited(K), EFI_NOT_READY)},
                     sequence({PROMPT, READ, WAIT, READ}),
                     EFI_NOT_READY},
        DialogueCase{"ReadWarningIsSuccess",
                     {with_read_status(K, EFI_WARN_UNKNOWN_GLYPH), ESC},
                     sequence({PROMPT, keyed("k"), READ, LINE_END}),
                     EFI_SUCCESS},
        DialogueCase{"WaitedKeysAreEchoed",
                     {waited(K), waited(ESC)},
                     sequence({PROMPT, READ, WAIT, READ, printed("k"), READ, WAIT, READ, LINE_END}),
                     EFI_SUCCESS}),
    [](const testing::TestParamInfo<DialogueCase>& info) { return info.param.name; });

TEST(LineEditor, ScreenShowsTheRetypedCharacterInPlaceOfTheErasedOne) {
  FakeFirmware fw;
  fw.connect();
  fw.keys = keys({typed("ab"), {BACKSPACE}, typed("c"), {ESC}});
  monitor_run();
  EXPECT_EQ(fw.screen(), (std::vector<std::string>{"0 > ac", ""}));
}

TEST(LineEditor, MissingInputEndsTheDialogueAfterThePrompt) {
  FakeFirmware fw;
  fw.connect();
  firmware_context.con_in = nullptr;
  EXPECT_EQ(monitor_run(), EFI_LOAD_ERROR);
  EXPECT_EQ(fw.calls, PROMPT);
}

// Every keystroke a firmware can deliver, in long random scripts: the buffer keeps its invariants
// and agrees with a plain model of the line, and each key shows exactly its own echo or erase.
TEST(LineEditor, BufferInvariantsHoldForEveryKeystroke) {
  std::mt19937 random(20261208);
  auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  FakeFirmware fw;
  fw.connect();
  LineBuffer line{};
  LineModel model;
  int dropped_on_full_line = 0;
  for (int step = 0; step < 200000; ++step) {
    EFI_INPUT_KEY key{};
    switch (pick(8)) {
      case 0:
        key = {static_cast<UINT16>(pick(0x30)), static_cast<char16_t>(pick(0x10000))};
        break;
      case 1:
        key = {0, static_cast<char16_t>(pick(0x20))};
        break;
      case 2:
        key = {0, static_cast<char16_t>(0x7F + pick(0x200))};
        break;
      case 3:
        key = {SCAN_DELETE, 0};
        break;
      default:
        key = {0, static_cast<char16_t>(0x20 + pick(0x5F))};
        break;
    }
    fw.calls.clear();
    const LineEdit edit = monitor_edit_line(&line, key);
    LineEdit expected_edit;
    ASSERT_EQ(fw.calls, model.apply(key, &expected_edit))
        << "step " << step << " key " << key.ScanCode << "/" << key.UnicodeChar;
    ASSERT_EQ(edit, expected_edit) << "step " << step;
    ASSERT_EQ(line_buffer_fault(line, model.line), "") << "step " << step;
    dropped_on_full_line += model.dropped;
    if (edit != LINE_EDITING || pick(2000) == 0) {
      line.line_length = 0;  // a new prompt
      line.chars[0] = '\0';
      model.clear();
    }
  }
  EXPECT_GT(dropped_on_full_line, 1000) << "the scripts must reach the full line often";
}

}  // namespace
