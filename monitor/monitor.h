// The monitor's dialogue: the line editor with its read-eval loop, and the word interpreter.
#pragma once

#include "../firmware/efi.h"

enum MonitorVerdict : int { MONITOR_LEAVE = 0, MONITOR_CONTINUE = 1 };

// The longest line the editor hands over is one less: the last byte holds the NUL.
constexpr UINTN LINE_CAPACITY = 128;

// Trims the line in place, prints the answer of the word it names and says whether to go on.
MonitorVerdict monitor_interpret(char* line);

// The text helpers of the interpreter. Truth values are 1 or 0.
int text_is_space(char c);
char text_to_lower(char c);
UINTN text_length(const char* text);
char* text_trim(char* text);
int text_equals_word(const char* text, const char* word);
int text_starts_with(const char* text, const char* prefix);
