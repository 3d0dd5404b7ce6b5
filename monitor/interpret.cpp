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

// A whole-word row prints its answer. A prefix row prints its answer, then the rest of the line
// after the prefix exactly as typed, then a line end; the empty prefix matches every line.
enum WordMatch : unsigned char { MATCH_WORD, MATCH_PREFIX };

struct WordRow {
  char word[12];
  UINT16 answer;
  WordMatch match;
  unsigned char verdict;
};

constexpr WordRow WORD_TABLE[] = {
    {"bye", answer_at(ANSWER_NONE), MATCH_WORD, MONITOR_LEAVE},
    {"exit", answer_at(ANSWER_NONE), MATCH_WORD, MONITOR_LEAVE},
    {"quit", answer_at(ANSWER_NONE), MATCH_WORD, MONITOR_LEAVE},
    {"help", answer_at(ANSWER_HELP), MATCH_WORD, MONITOR_CONTINUE},
    {"words", answer_at(ANSWER_WORDS), MATCH_WORD, MONITOR_CONTINUE},
    {"pwd", answer_at(ANSWER_ROOT), MATCH_WORD, MONITOR_CONTINUE},
    {"dev /", answer_at(ANSWER_ROOT), MATCH_WORD, MONITOR_CONTINUE},
    {"dev", answer_at(ANSWER_ROOT), MATCH_WORD, MONITOR_CONTINUE},
    {".properties", answer_at(ANSWER_PROPERTIES), MATCH_WORD, MONITOR_CONTINUE},
    {"boot", answer_at(ANSWER_NO_BOOT), MATCH_WORD, MONITOR_CONTINUE},
    {"boot ", answer_at(ANSWER_BOOT_PATH), MATCH_PREFIX, MONITOR_CONTINUE},
    {"", answer_at(ANSWER_UNKNOWN), MATCH_PREFIX, MONITOR_CONTINUE},
};

}  // namespace

MonitorVerdict monitor_interpret(char* line) {
  const char* word = text_trim(line);
  if (*word == '\0') return MONITOR_CONTINUE;
  for (const WordRow& row : WORD_TABLE) {
    const int matched = row.match == MATCH_PREFIX ? text_starts_with(word, row.word) : text_equals_word(word, row.word);
    if (!matched) continue;
    console_print(ANSWER_TEXT + row.answer);
    if (row.match == MATCH_PREFIX) {
      console_print(word + text_length(row.word));
      console_print("\n");
    }
    return static_cast<MonitorVerdict>(row.verdict);
  }
  return MONITOR_CONTINUE;  // not reached: the last row matches every line
}
