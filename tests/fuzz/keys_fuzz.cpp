// Fuzzes keystroke sequences through the line editor and the read-eval loop. Every three input
// bytes make one keystroke: flags (bit 0: the key must be waited for, bit 1: it comes with a
// warning, bits 2-3: how the other two bytes make the key), then two bytes of key.
#include <cstdio>
#include <cstdlib>

#include "fake_firmware.h"
#include "line_model.h"

namespace {

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

std::vector<KeyStep> keys_from(const uint8_t* data, size_t size) {
  std::vector<KeyStep> keys;
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
    if (flags & 2) step.read_status = EFI_WARN_UNKNOWN_GLYPH;
    keys.push_back(step);
  }
  return keys;
}

// What the interpreter prints for a finished line, recorded on a fake of its own.
Calls answer_for(const std::string& line, bool* leave) {
  FakeFirmware fw;
  fw.connect();
  std::string copy = line;
  *leave = monitor_interpret(copy.data()) == MONITOR_LEAVE;
  return fw.calls;
}

// Every call of the read-eval loop, from a model of the editor: the reads each key costs, then
// its echo, erase or line end, and on Enter the interpreter's answer and a new prompt.
Calls expected_dialogue(const std::vector<KeyStep>& keys, EFI_STATUS* status) {
  Calls expected = printed("0 > ");
  LineModel model;
  for (const KeyStep& step : keys) {
    if (step.waited) expected.insert(expected.end(), {"ReadKeyStroke", "WaitForEvent(1, WaitForKey, index 0)"});
    expected.push_back("ReadKeyStroke");
    LineEdit edit;
    const Calls shown = model.apply(step.key, &edit);
    expected.insert(expected.end(), shown.begin(), shown.end());
    if (edit == LINE_ESCAPED) return *status = EFI_SUCCESS, expected;
    if (edit == LINE_ENTERED) {
      bool leave = false;
      const Calls answer = answer_for(model.line, &leave);
      expected.insert(expected.end(), answer.begin(), answer.end());
      if (leave) return *status = EFI_SUCCESS, expected;
      model.clear();
      const Calls prompt = printed("0 > ");
      expected.insert(expected.end(), prompt.begin(), prompt.end());
    }
  }
  expected.push_back("ReadKeyStroke");
  return *status = END_OF_SCRIPT, expected;
}

std::string join(const Calls& calls) {
  std::string text;
  for (const std::string& call : calls) text += call + "\n";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<KeyStep> keys = keys_from(data, size);

  // The buffer itself, key by key.
  {
    FakeFirmware fw;
    fw.connect();
    LineBuffer line{};
    LineModel model;
    for (const KeyStep& step : keys) {
      fw.calls.clear();
      LineEdit expected_edit;
      const Calls expected = model.apply(step.key, &expected_edit);
      const LineEdit edit = monitor_edit_line(&line, step.key);
      if (fw.calls != expected || edit != expected_edit) fail("editing shows", join(fw.calls));
      const std::string fault = line_buffer_fault(line, model.line);
      if (!fault.empty()) fail("line buffer", fault);
      if (edit != LINE_EDITING) {
        line.line_length = 0;
        line.chars[0] = '\0';
        model.clear();
      }
    }
  }

  // The whole loop, call by call, ending only by a way out, by Esc or at the end of the script.
  Calls calls;
  EFI_STATUS status;
  {
    FakeFirmware fw;
    fw.connect();
    fw.keys = keys;
    status = monitor_run();
    calls = fw.calls;
  }
  EFI_STATUS expected_status;
  const Calls expected = expected_dialogue(keys, &expected_status);
  if (status != expected_status) fail("status", std::to_string(status));
  if (calls != expected) fail("dialogue", join(calls) + "---- expected ----\n" + join(expected));
  return 0;
}
