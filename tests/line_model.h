// A plain model of the line editor, to check the real one against: what each keystroke must
// print and do to the line.
#pragma once

#include <string>

#include "fake_firmware.h"
#include "monitor/monitor.h"

struct LineModel {
  std::string line;
  // Whether the last key was a printable character dropped because the line was full.
  bool dropped = false;

  // Applies one key; returns the firmware calls it must make and sets what became of the line.
  Calls apply(EFI_INPUT_KEY key, LineEdit* edit);
  void clear() { line.clear(); }
};

// Empty when the buffer keeps its invariants and holds `expected`; otherwise what is wrong.
std::string line_buffer_fault(const LineBuffer& buffer, const std::string& expected);
