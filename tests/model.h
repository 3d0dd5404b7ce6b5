// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the monitor must show, as a person reads it, and a plain model of its line editor and
// interpreter to check the real ones against. The host tests and the fuzzers use it directly; the
// end-to-end tests read it through the C entry points at the end, from the model library.
#pragma once

#include <string>

#include "monitor/monitor.h"

inline const std::string HELP_ANSWER =
    "help          show this command list\n"
    "words         show available built-in words\n"
    "dev /         select the root device node\n"
    "pwd           show the selected device node\n"
    ".properties   show root node properties\n"
    "boot          attempt the default boot action\n"
    "bye           return to firmware\n";
inline const std::string WORDS_ANSWER = "boot bye dev exit help pwd quit words .properties\n";
inline const std::string PROPERTIES_ANSWER =
    "name                    Tarnwick\n"
    "device_type             firmware\n"
    "compatible              tarnwick,uefi\n";
inline const std::string NO_BOOT_ANSWER = "No Tarnwick boot device is configured for this UEFI payload.\n";
// Banner and hint, up to the first prompt.
inline const std::string GREETING = "Tarnwick " TARNWICK_VERSION " [UEFI]\nType help for a short command list.\n\n";

// What the interpreter must print for a finished line, and whether that line leaves.
std::string model_answer(const std::string& line, bool* leave);

// The line being typed, and what each keystroke must show.
struct LineModel {
  std::string line;
  // Whether the last key was a printable character dropped because the line was full.
  bool dropped = false;

  // Applies one key; returns the text it must show and sets what became of the line.
  std::string apply(EFI_INPUT_KEY key, LineEdit* edit);
};

// Empty when the buffer keeps its invariants and holds `expected`; otherwise what is wrong.
std::string line_buffer_fault(const LineBuffer& buffer, const std::string& expected);

// Text as the console receives it: every LF goes out as CR LF.
std::string shown(const std::string& text);

extern "C" {
// The answer to a line, and in *leave whether it ends the dialogue; valid until the next call.
const char* tarnwick_model_answer(const char* line, int* leave);
const char* tarnwick_model_greeting();
// The words of the table, one a line, in the order they are tried.
const char* tarnwick_model_words();
}
