// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "monitor.h"

int text_is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

int text_equals_word(const char* text, const char* word) {
  UINTN i = 0;
  for (; text[i] != '\0' && word[i] != '\0'; ++i) {
    if (text_to_lower(text[i]) != word[i]) return 0;
  }
  return text[i] == word[i];
}

int text_starts_with(const char* text, const char* prefix) {
  // A text shorter than the prefix fails at its NUL, which no prefix character equals.
  for (UINTN i = 0; prefix[i] != '\0'; ++i) {
    if (text_to_lower(text[i]) != prefix[i]) return 0;
  }
  return 1;
}
