// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "../firmware/console.h"
#include "monitor.h"

namespace {

// Every answer text, each ended by its own NUL, in the order of the Answer names below. Rows
// name their answer by an offset into this text rather than by a pointer: the image carries no
// base relocations, so its read-only data must hold no addresses.
constexpr char ANSWER_TEXT[] =
    "\0"
    "help          show this command list\n"
    "words         show available built-in words\n"
    "dev /         select the root device node\n"
    "pwd           show the selected device node\n"
    ".properties   show root node properties\n"
    "boot          attempt the default boot action\n"
    "bye           return to firmware\n\0"
    "boot bye dev exit help pwd quit words .properties\n\0"
    "/\n\0"
    "name                    Tarnwick\n"
    "device_type             firmware\n"
    "compatible              tarnwick,uefi\n\0"
    "No Tarnwick boot device is configured for this UEFI payload.\n\0"
    "Boot path not available: \0"
    "unknown word: ";

enum Answer {
  ANSWER_NONE,
  ANSWER_HELP,
  ANSWER_WORDS,
  ANSWER_ROOT,
  ANSWER_PROPERTIES,
  ANSWER_NO_BOOT,
  ANSWER_BOOT_PATH,
  ANSWER_UNKNOWN
};

constexpr UINT16 answer_at(Answer answer) {
  UINT16 offset = 0;
  for (int skipped = 0; skipped < answer; ++skipped) {
    while (ANSWER_TEXT[offset] != '\0') ++offset;
    ++offset;
  }
  return offset;
}

// The words in the order the rows try them, each ended by its own NUL. The last, empty, is the
// prefix every line has.
constexpr char WORD_TEXT[] = "bye\0exit\0quit\0help\0words\0pwd\0dev /\0dev\0.properties\0boot\0boot \0";

// The offset of `word` in WORD_TEXT; a word that is not there stops the build.
constexpr unsigned char word_at(const char* word) {
  for (unsigned offset = 0; offset < sizeof WORD_TEXT; ++offset) {
    unsigned n = 0;
    while (word[n] != '\0' && WORD_TEXT[offset + n] == word[n]) ++n;
    if (word[n] == '\0' && WORD_TEXT[offset + n] == '\0') return static_cast<unsigned char>(offset);
    while (WORD_TEXT[offset] != '\0') ++offset;
  }
  __builtin_unreachable();
}

// A whole-word row prints its answer. A prefix row prints its answer, then the rest of the line
// after the prefix exactly as typed, then a line end; the empty prefix matches every line.
enum WordMatch : unsigned char { MATCH_WORD, MATCH_PREFIX };

// Words and answers are named by offsets into their texts, which keeps the rows small. A row
// without an answer is a way out: it prints nothing and ends the dialogue.
struct WordRow {
  unsigned char word;
  WordMatch match;
  UINT16 answer;
};

constexpr WordRow WORD_TABLE[] = {
    {word_at("bye"), MATCH_WORD, answer_at(ANSWER_NONE)},
    {word_at("exit"), MATCH_WORD, answer_at(ANSWER_NONE)},
    {word_at("quit"), MATCH_WORD, answer_at(ANSWER_NONE)},
    {word_at("help"), MATCH_WORD, answer_at(ANSWER_HELP)},
    {word_at("words"), MATCH_WORD, answer_at(ANSWER_WORDS)},
    {word_at("pwd"), MATCH_WORD, answer_at(ANSWER_ROOT)},
    {word_at("dev /"), MATCH_WORD, answer_at(ANSWER_ROOT)},
    {word_at("dev"), MATCH_WORD, answer_at(ANSWER_ROOT)},
    {word_at(".properties"), MATCH_WORD, answer_at(ANSWER_PROPERTIES)},
    {word_at("boot"), MATCH_WORD, answer_at(ANSWER_NO_BOOT)},
    {word_at("boot "), MATCH_PREFIX, answer_at(ANSWER_BOOT_PATH)},
    {word_at(""), MATCH_PREFIX, answer_at(ANSWER_UNKNOWN)},
};

}  // namespace

MonitorVerdict monitor_interpret(char* line) {
  const char* word = text_trim(line);
  if (*word == '\0') return MONITOR_CONTINUE;
  // The last row's empty prefix matches every line, so the walk always ends on a row.
  const WordRow* row = WORD_TABLE;
  while (!(row->match == MATCH_PREFIX ? text_starts_with(word, WORD_TEXT + row->word)
                                      : text_equals_word(word, WORD_TEXT + row->word))) {
    ++row;
  }
  console_print(ANSWER_TEXT + row->answer);
  if (row->match == MATCH_PREFIX) {
    console_print(word + text_length(WORD_TEXT + row->word));
    console_print("\n");
  }
  return row->answer == answer_at(ANSWER_NONE) ? MONITOR_LEAVE : MONITOR_CONTINUE;
}
