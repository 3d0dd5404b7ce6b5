// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "model.h"

#include "uefi_numbers.h"

namespace {

struct Word {
  const char* word;
  const std::string* answer;  // null for the ways out
};

const std::string ROOT_ANSWER = "/\n";
const Word WORDS[] = {{"bye", nullptr},         {"exit", nullptr},        {"quit", nullptr},
                      {"help", &HELP_ANSWER},   {"words", &WORDS_ANSWER}, {"pwd", &ROOT_ANSWER},
                      {"dev /", &ROOT_ANSWER},  {"dev", &ROOT_ANSWER},    {".properties", &PROPERTIES_ANSWER},
                      {"boot", &NO_BOOT_ANSWER}};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string folded(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return text;
}

}  // namespace

std::string model_answer(const std::string& line, bool* leave) {
  std::size_t first = 0, end = line.size();
  while (first < end && is_space(line[first])) ++first;
  while (end > first && is_space(line[end - 1])) --end;
  const std::string word = line.substr(first, end - first);
  *leave = false;
  if (word.empty()) return "";
  for (const Word& row : WORDS) {
    if (folded(word) != row.word) continue;
    *leave = row.answer == nullptr;
    return *leave ? "" : *row.answer;
  }
  if (folded(word).rfind("boot ", 0) == 0) return "Boot path not available: " + word.substr(5) + "\n";
  return "unknown word: " + word + "\n";
}

std::string LineModel::apply(EFI_INPUT_KEY key, LineEdit* edit) {
  dropped = false;
  *edit = LINE_EDITING;
  if (key.ScanCode == uefi::SCAN_ESC) {
    *edit = LINE_ESCAPED;
    return "\r\n";
  }
  if (key.UnicodeChar == u'\r' || key.UnicodeChar == u'\n') {
    *edit = LINE_ENTERED;
    return "\r\n";
  }
  if (key.UnicodeChar == u'\b' || key.ScanCode == uefi::SCAN_DELETE) {
    if (line.empty()) return "";
    line.pop_back();
    return "\b \b";
  }
  if (key.UnicodeChar < 0x20 || key.UnicodeChar > 0x7E) return "";
  if (line.size() == LINE_CAPACITY - 1) {
    dropped = true;
    return "";
  }
  line += static_cast<char>(key.UnicodeChar);
  return line.substr(line.size() - 1);
}

std::string line_buffer_fault(const LineBuffer& buffer, const std::string& expected) {
  if (buffer.line_length > LINE_CAPACITY - 1) return "line_length " + std::to_string(buffer.line_length);
  if (buffer.chars[buffer.line_length] != '\0') return "no NUL at line_length";
  for (UINTN n = 0; n < buffer.line_length; ++n) {
    if (buffer.chars[n] < 0x20 || buffer.chars[n] > 0x7E) return "unprintable byte at " + std::to_string(n);
  }
  const std::string held(buffer.chars, buffer.line_length);
  if (held != expected) return "holds \"" + held + "\" instead of \"" + expected + "\"";
  return "";
}

std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
  return out;
}

namespace {
std::string last_answer;
std::string word_list;
}  // namespace

const char* tarnwick_model_answer(const char* line, int* leave) {
  bool leaves = false;
  last_answer = model_answer(line, &leaves);
  if (leave != nullptr) *leave = leaves;
  return last_answer.c_str();
}

const char* tarnwick_model_greeting() { return GREETING.c_str(); }

const char* tarnwick_model_words() {
  word_list.clear();
  for (const Word& row : WORDS) word_list += std::string(row.word) + "\n";
  return word_list.c_str();
}
