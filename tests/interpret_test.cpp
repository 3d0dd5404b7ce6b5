// The word interpreter: every line gets exactly one row's answer, one OutputString per character.
#include <gtest/gtest.h>

#include <cstring>

#include "answers.h"
#include "fake_firmware.h"
#include "monitor/monitor.h"

namespace {

struct WordCase {
  std::string line;
  std::string answer;
  MonitorVerdict verdict;
};

void PrintTo(const WordCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class WordTableTest : public testing::TestWithParam<WordCase> {};

TEST_P(WordTableTest, AnswersAndVerdict) {
  FakeFirmware fw;
  fw.connect();
  char line[LINE_CAPACITY] = {};
  std::strncpy(line, GetParam().line.c_str(), sizeof line - 1);
  EXPECT_EQ(monitor_interpret(line), GetParam().verdict);
  EXPECT_EQ(fw.calls, printed(GetParam().answer));
}

INSTANTIATE_TEST_SUITE_P(
    Interpreter, WordTableTest,
    testing::Values(
        WordCase{"bye", "", MONITOR_LEAVE}, WordCase{"EXIT", "", MONITOR_LEAVE}, WordCase{" Quit ", "", MONITOR_LEAVE},
        WordCase{"quit now", "unknown word: quit now\n", MONITOR_CONTINUE},
        WordCase{"help", HELP_ANSWER, MONITOR_CONTINUE}, WordCase{"HELP", HELP_ANSWER, MONITOR_CONTINUE},
        WordCase{"  Help  ", HELP_ANSWER, MONITOR_CONTINUE}, WordCase{"\thelp\r\n", HELP_ANSWER, MONITOR_CONTINUE},
        WordCase{"hel", "unknown word: hel\n", MONITOR_CONTINUE},
        WordCase{"helpp", "unknown word: helpp\n", MONITOR_CONTINUE}, WordCase{"Words", WORDS_ANSWER, MONITOR_CONTINUE},
        WordCase{"pwd", "/\n", MONITOR_CONTINUE}, WordCase{"DEV /", "/\n", MONITOR_CONTINUE},
        WordCase{"dev", "/\n", MONITOR_CONTINUE}, WordCase{"dev  /", "unknown word: dev  /\n", MONITOR_CONTINUE},
        WordCase{".PROPERTIES", PROPERTIES_ANSWER, MONITOR_CONTINUE},
        WordCase{"boot", NO_BOOT_ANSWER, MONITOR_CONTINUE}, WordCase{"boot   ", NO_BOOT_ANSWER, MONITOR_CONTINUE},
        WordCase{"BOOT Disk0", "Boot path not available: Disk0\n", MONITOR_CONTINUE},
        WordCase{"boot   cdrom", "Boot path not available:   cdrom\n", MONITOR_CONTINUE},
        WordCase{"bootx", "unknown word: bootx\n", MONITOR_CONTINUE},
        WordCase{"boots", "unknown word: boots\n", MONITOR_CONTINUE},
        WordCase{"  Hello World ", "unknown word: Hello World\n", MONITOR_CONTINUE},
        WordCase{"caf\xC9", "unknown word: caf\xC9\n", MONITOR_CONTINUE}, WordCase{"     ", "", MONITOR_CONTINUE},
        WordCase{"", "", MONITOR_CONTINUE}));

// Descriptions start in the fifteenth column, property values in the twenty-fifth.
TEST(Interpreter, ListsAreAlignedInColumns) {
  struct List {
    std::string text;
    std::size_t column;
    std::size_t lines;
  };
  for (const List& list : {List{HELP_ANSWER, 15, 7}, List{PROPERTIES_ANSWER, 25, 3}}) {
    std::size_t start = 0, count = 0;
    for (std::size_t end; (end = list.text.find('\n', start)) != std::string::npos; start = end + 1, ++count) {
      const std::string row = list.text.substr(start, end - start);
      EXPECT_EQ(row[list.column - 2], ' ') << row;
      EXPECT_NE(row[list.column - 1], ' ') << row;
    }
    EXPECT_EQ(count, list.lines);
  }
}

struct TrimCase {
  std::string text;
  std::string trimmed;
};

TEST(TextHelpers, TrimCutsSpaceTabCrLfButNothingElse) {
  for (const TrimCase& c :
       {TrimCase{"  a b \t\r\n", "a b"}, TrimCase{"", ""}, TrimCase{" \t ", ""}, TrimCase{"\vhelp\f", "\vhelp\f"}}) {
    char text[32] = {};
    std::strncpy(text, c.text.c_str(), sizeof text - 1);
    char* start = text_trim(text);
    EXPECT_EQ(std::string(start), c.trimmed) << '"' << c.text << '"';
    if (c.trimmed.empty()) EXPECT_EQ(start, text + c.text.size()) << "stops at the terminating NUL";
  }
}

TEST(TextHelpers, OnlyTheTypedTextIsFolded) {
  EXPECT_EQ(text_equals_word("HeLp", "help"), 1);
  EXPECT_EQ(text_equals_word("Help", "Help"), 0);
  EXPECT_EQ(text_starts_with("BOOT x", "boot "), 1);
  EXPECT_EQ(text_starts_with("boo", "boot "), 0);
  EXPECT_EQ(text_to_lower('\xC9'), '\xC9');
  EXPECT_EQ(text_to_lower('@'), '@');
  EXPECT_EQ(text_to_lower('['), '[');
}

}  // namespace
