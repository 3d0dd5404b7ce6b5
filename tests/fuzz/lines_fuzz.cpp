// Fuzzes whole lines through the interpreter. The line lives in a heap block of exactly its size,
// so that AddressSanitizer reports any read past its NUL.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "answers.h"
#include "fake_firmware.h"
#include "monitor/monitor.h"

namespace {

struct Row {
  const char* word;
  const std::string& answer;
};

const std::string NOTHING;
const Row WHOLE_WORDS[] = {{"bye", NOTHING},           {"exit", NOTHING},       {"quit", NOTHING},
                           {"help", HELP_ANSWER},      {"words", WORDS_ANSWER}, {"pwd", ROOT_ANSWER},
                           {"dev /", ROOT_ANSWER},     {"dev", ROOT_ANSWER},    {".properties", PROPERTIES_ANSWER},
                           {"boot", NO_BOOT_ANSWER}};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string folded(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return text;
}

// The answer a line must get: a row of the word table, or the line echoed.
std::string expected_answer(const std::string& line, bool* leave) {
  size_t first = 0, end = line.size();
  while (first < end && is_space(line[first])) ++first;
  while (end > first && is_space(line[end - 1])) --end;
  const std::string word = line.substr(first, end - first);
  *leave = false;
  if (word.empty()) return "";
  for (const Row& row : WHOLE_WORDS) {
    if (folded(word) == row.word) {
      *leave = &row.answer == &NOTHING;
      return row.answer;
    }
  }
  if (folded(word).rfind("boot ", 0) == 0) return "Boot path not available: " + word.substr(5) + "\n";
  return "unknown word: " + word + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
  std::memcpy(buffer.get(), line.c_str(), line.size() + 1);

  FakeFirmware fw;
  fw.connect();
  const MonitorVerdict verdict = monitor_interpret(buffer.get());
  bool leave;
  const Calls expected = printed(expected_answer(line, &leave));
  if (fw.calls != expected) {
    std::fprintf(stderr, "wrong answer: %zu calls instead of %zu\n", fw.calls.size(), expected.size());
    std::abort();
  }
  if ((verdict == MONITOR_LEAVE) != leave) {
    std::fprintf(stderr, "wrong verdict %d\n", verdict);
    std::abort();
  }
  return 0;
}
