// Console output: what reaches the firmware's OutputString, call by call.
#include "firmware/console.h"

#include <gtest/gtest.h>

#include "fake_firmware.h"

namespace {

struct PrintCase {
  const char* name;
  std::string text;
  Calls calls;
};

void PrintTo(const PrintCase& c, std::ostream* os) { *os << c.name; }

class PrintTest : public testing::TestWithParam<PrintCase> {};

TEST_P(PrintTest, OneOutputStringCallPerCharacter) {
  FakeFirmware fw;
  fw.connect();
  console_print(GetParam().text.c_str());
  EXPECT_EQ(fw.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Console, PrintTest,
    testing::Values(
        PrintCase{"Empty", "", {}},
        PrintCase{
            "Prompt", "0 > ", {"OutputString \"0\"", "OutputString \" \"", "OutputString \">\"", "OutputString \" \""}},
        PrintCase{"TwoLineEnds", "\n\n", {"OutputString \"\\r\\n\"", "OutputString \"\\r\\n\""}},
        PrintCase{"CarriageReturnAlone", "a\rb", {"OutputString \"a\"", "OutputString \"\\r\"", "OutputString \"b\""}},
        PrintCase{"HighBytesWidenUnsigned",
                  "\x80\xA0\xFF",
                  {"OutputString \"\\u0080\"", "OutputString \"\\u00A0\"", "OutputString \"\\u00FF\""}}),
    [](const testing::TestParamInfo<PrintCase>& info) { return info.param.name; });

TEST(Console, PutCharWritesLineFeedAsCrLfAndEverythingElseAsIs) {
  FakeFirmware fw;
  fw.connect();
  console_put_char(u'\n');
  console_put_char(u'\r');
  console_put_char(u'\b');
  console_put_char(0x00FF);
  EXPECT_EQ(fw.calls, (Calls{"OutputString \"\\r\\n\"", "OutputString \"\\r\"", "OutputString \"\\b\"",
                             "OutputString \"\\u00FF\""}));
}

TEST(Console, WriteHandsTheWholeStringOverInOneCall) {
  FakeFirmware fw;
  fw.connect();
  console_write(u"\b \b");
  EXPECT_EQ(fw.calls, (Calls{"OutputString \"\\b \\b\""}));
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
