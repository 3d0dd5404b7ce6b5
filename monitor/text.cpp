// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "monitor.h"

// Tab, LF and CR as bits of one word: a shift and a test instead of four comparisons.
constexpr unsigned CONTROL_SPACES = 1u << '\t' | 1u << '\n' | 1u << '\r';

int text_is_space(char c) {
  const unsigned byte = static_cast<unsigned char>(c);
  return byte == ' ' || (byte < 32 && (CONTROL_SPACES >> byte & 1));
}

char text_to_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }

UINTN text_length(const char* text) {
  UINTN n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

char* text_trim(char* text) {
  while (text_is_space(*text)) ++text;
  UINTN n = text_length(text);
  while (n > 0 && text_is_space(text[n - 1])) text[--n] = '\0';
  return text;
}

int text_starts_with(const char* text, const char* prefix) {
  // A text shorter than the prefix fails at its NUL, which no prefix character equals.
  for (UINTN i = 0; prefix[i] != '\0'; ++i) {
    if (text_to_lower(text[i]) != prefix[i]) return 0;
  }
  return 1;
}

// A text equals a word when it starts with it and ends where the word ends.
int text_equals_word(const char* text, const char* word) {
  return text_starts_with(text, word) && text[text_length(word)] == '\0';
}
