// SPDX-License-Identifier: BSD-2-Clause-Patent
// The word interpreter: every line gets exactly one row's answer.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_firmware.h"
#include "model.h"

namespace {

struct WordCase {
  std::string line;
  std::string answer;
  MonitorVerdict verdict;
};

// Prints the answer to `line` through a fresh fake; returns the verdict.
MonitorVerdict interpret(const std::string& line, FakeFirmware& fw) {
  fw.connect();
  char buffer[LINE_CAPACITY] = {};
  std::strncpy(buffer, line.c_str(), sizeof buffer - 1);
  return monitor_interpret(buffer);
}

TEST(Interpreter, AnswersAndVerdict) {
  const WordCase cases[] = {
      {"bye", "", MONITOR_LEAVE},
      {"EXIT", "", MONITOR_LEAVE},
      {" Quit ", "", MONITOR_LEAVE},
      {"quit now", "unknown word: quit now\n", MONITOR_CONTINUE},
      {"help", HELP_ANSWER, MONITOR_CONTINUE},
      {"HELP", HELP_ANSWER, MONITOR_CONTINUE},
      {"  Help  ", HELP_ANSWER, MONITOR_CONTINUE},
      {"\thelp\r\n", HELP_ANSWER, MONITOR_CONTINUE},
      {"hel", "unknown word: hel\n", MONITOR_CONTINUE},
      {"helpp", "unknown word: helpp\n", MONITOR_CONTINUE},
      {"Words", WORDS_ANSWER, MONITOR_CONTINUE},
      {"pwd", "/\n", MONITOR_CONTINUE},
      {"DEV /", "/\n", MONITOR_CONTINUE},
      {"dev", "/\n", MONITOR_CONTINUE},
      {"dev  /", "unknown word: dev  /\n", MONITOR_CONTINUE},
      {".PROPERTIES", PROPERTIES_ANSWER, MONITOR_CONTINUE},
      {"boot", NO_BOOT_ANSWER, MONITOR_CONTINUE},
      {"boot   ", NO_BOOT_ANSWER, MONITOR_CONTINUE},
      {"BOOT Disk0", "Boot path not available: Disk0\n", MONITOR_CONTINUE},
      {"boot   cdrom", "Boot path not available:   cdrom\n", MONITOR_CONTINUE},
      {"bootx", "unknown word: bootx\n", MONITOR_CONTINUE},
      {"boots", "unknown word: boots\n", MONITOR_CONTINUE},
      {"  Hello World ", "unknown word: Hello World\n", MONITOR_CONTINUE},
      {"caf\xC9", "unknown word: caf\\u00C9\n", MONITOR_CONTINUE},
      {"     ", "", MONITOR_CONTINUE},
      {"", "", MONITOR_CONTINUE},
  };
  for (const WordCase& c : cases) {
    FakeFirmware fw;
    EXPECT_EQ(interpret(c.line, fw), c.verdict) << '"' << c.line << '"';
    EXPECT_EQ(fw.trace, shown(c.answer)) << '"' << c.line << '"';
  }
}

// Descriptions start in the fifteenth column, property values in the twenty-fifth, on the screen
// the product draws.
TEST(Interpreter, ListsAreAlignedInColumns) {
  struct List {
    const char* word;
    std::size_t column;
    std::size_t lines;
  };
  for (const List& list : {List{"help", 15, 7}, List{".properties", 25, 3}}) {
    FakeFirmware fw;
    interpret(list.word, fw);
    std::vector<std::string> rows = fw.screen();
    rows.pop_back();  // the empty line after the last line end
    EXPECT_EQ(rows.size(), list.lines) << list.word;
    for (const std::string& row : rows) {
      ASSERT_GE(row.size(), list.column) << row;
      EXPECT_EQ(row[list.column - 2], ' ') << row;
      EXPECT_NE(row[list.column - 1], ' ') << row;
    }
  }
}

TEST(TextHelpers, TrimCutsSpaceTabCrLfButNothingElse) {
  struct TrimCase {
    std::string text;
    std::string trimmed;
  };
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
