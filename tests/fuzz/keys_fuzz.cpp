// SPDX-License-Identifier: BSD-2-Clause-Patent
// Fuzzes keystroke sequences through the line editor and the read-eval loop, against the model.
// Every three input bytes make one keystroke: flags (bit 0: the key must be waited for, bit 1: it
// comes with a warning, bits 2-3: how the other two bytes make the key), then two bytes of key.
#include <cstdio>
#include <cstdlib>

#include "fake_firmware.h"
#include "model.h"

namespace {

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

std::vector<KeyStep> keys_from(const uint8_t* data, size_t size) {
  std::vector<KeyStep> steps;
  for (size_t n = 0; n + 3 <= size; n += 3) {
    const uint8_t flags = data[n], low = data[n + 1], high = data[n + 2];
    KeyStep step;
    switch ((flags >> 2) & 3) {
      case 0:  // one byte of character, as a serial terminal delivers it
        step.key = {0, low};
        break;
      case 1:  // a scan code, with any character beside it
        step.key = {static_cast<UINT16>(low % 0x20), high};
        break;
      case 2:  // any code unit
        step.key = {0, static_cast<char16_t>(low | high << 8)};
        break;
      default:  // a printable character
        step.key = {0, static_cast<char16_t>(0x20 + low % 0x5F)};
        break;
    }
    step.waited = flags & 1;
    if (flags & 2) step.read_status = uefi::WARN_UNKNOWN_GLYPH;
    steps.push_back(step);
  }
  return steps;
}

// The whole trace of the read-eval loop, from the model: the reads each key costs, then its echo,
// erase or line end, and on Enter the answer and a new prompt.
std::string expected_dialogue(const std::vector<KeyStep>& steps, EFI_STATUS* status) {
  std::string expected = "0 > ";
  LineModel model;
  for (const KeyStep& step : steps) {
    expected += step.waited ? "{read}{wait}{read}" : "{read}";
    LineEdit edit;
    expected += model.apply(step.key, &edit);
    if (edit == LINE_ESCAPED) return *status = EFI_SUCCESS, expected;
    if (edit == LINE_ENTERED) {
      bool leave = false;
      expected += shown(model_answer(model.line, &leave));
      if (leave) return *status = EFI_SUCCESS, expected;
      model.line.clear();
      expected += "0 > ";
    }
  }
  *status = END_OF_SCRIPT;
  return expected + "{read}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<KeyStep> steps = keys_from(data, size);

  // The buffer itself, key by key.
  {
    FakeFirmware fw;
    fw.connect();
    LineBuffer line{};
    LineModel model;
    for (const KeyStep& step : steps) {
      fw.trace.clear();
      LineEdit expected_edit;
      const std::string expected = model.apply(step.key, &expected_edit);
      const LineEdit edit = monitor_edit_line(&line, step.key);
      if (fw.trace != expected || edit != expected_edit) fail("editing shows", fw.trace);
      const std::string fault = line_buffer_fault(line, model.line);
      if (!fault.empty()) fail("line buffer", fault);
      if (edit != LINE_EDITING) {
        line.line_length = 0;
        line.chars[0] = '\0';
        model.line.clear();
      }
    }
  }

  // The whole loop, ending only by a way out, by Esc or at the end of the script.
  FakeFirmware fw;
  fw.connect();
  fw.keys = steps;
  const EFI_STATUS status = monitor_run();
  EFI_STATUS expected_status;
  const std::string expected = expected_dialogue(steps, &expected_status);
  if (status != expected_status) fail("status", std::to_string(status));
  if (fw.trace != expected) fail("dialogue", fw.trace + "\n---- expected ----\n" + expected);
  return 0;
}
