// SPDX-License-Identifier: BSD-2-Clause-Patent
// The monitor's dialogue: the line editor with its read-eval loop, and the word interpreter.
#pragma once

#include "../firmware/efi.h"

enum MonitorVerdict : int { MONITOR_LEAVE = 0, MONITOR_CONTINUE = 1 };

constexpr UINTN LINE_CAPACITY = 128;

// The line being typed: at most LINE_CAPACITY - 1 printable characters, always ended by a NUL.
struct LineBuffer {
  char chars[LINE_CAPACITY];
  UINTN line_length;
};

// What one keystroke did to the line being edited.
enum LineEdit : int { LINE_EDITING, LINE_ENTERED, LINE_ESCAPED };

// Prompts, edits and interprets lines until the user leaves or a key cannot be read.
EFI_STATUS monitor_run();
// Applies one keystroke to the line, with its echo or erase on the console.
LineEdit monitor_edit_line(LineBuffer* line, EFI_INPUT_KEY key);
// Trims the line in place, prints the answer of the word it names and says whether to go on.
MonitorVerdict monitor_interpret(char* line);

// The text helpers of the interpreter. Truth values are 1 or 0.
int text_is_space(char c);
char text_to_lower(char c);
UINTN text_length(const char* text);
char* text_trim(char* text);
int text_equals_word(const char* text, const char* word);
int text_starts_with(const char* text, const char* prefix);
