// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "fake_firmware.h"

#include <cstdio>
#include <cstdlib>

#include "firmware/entry.h"

namespace {

FakeFirmware* active = nullptr;
// A value no real pointer has, so a test can tell that the WaitForKey event was passed on.
EFI_EVENT const KEY_EVENT = reinterpret_cast<EFI_EVENT>(0x6b6579);
// A dialogue that calls this often without ending is spinning: stop it rather than hang.
constexpr std::size_t CALL_LIMIT = 200000;

// Printable characters, CR, LF and backspace stand for themselves; any other unit is \uXXXX.
std::string escaped(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if ((unit >= 0x20 && unit <= 0x7E) || unit == u'\r' || unit == u'\n' || unit == u'\b') {
      out += static_cast<char>(unit);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(unit));
      out += hex;
    }
  }
  return out;
}

// Records a call and its piece of the trace; true when it is the call chosen to fail.
bool record(const std::string& call, const std::string& traced) {
  FakeFirmware& fw = *active;
  fw.calls.push_back(call);
  fw.trace += traced;
  if (fw.calls.size() >= CALL_LIMIT) {
    std::fprintf(stderr, "the dialogue keeps calling the firmware without end\n");
    std::abort();
  }
  if (fw.calls.size() == fw.change_after_calls) fw.change(fw);
  return fw.calls.size() - 1 == fw.fail_call;
}

bool record(const std::string& call) { return record(call, "{" + call + "}"); }

EFI_STATUS result(bool failing, EFI_STATUS status) { return failing ? active->fail_status : status; }

EFI_STATUS FIRMWARE_CALL fake_output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, const CHAR16* text) {
  const std::u16string s(text);
  const bool failing = record("OutputString \"" + escaped(s) + "\"", escaped(s));
  active->output += s;
  return result(failing, uefi::SUCCESS);
}

EFI_STATUS FIRMWARE_CALL fake_reset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN extended) {
  return result(record("Reset(" + std::to_string(extended) + ")"), uefi::SUCCESS);
}

EFI_STATUS FIRMWARE_CALL fake_set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN attribute) {
  char text[32];
  std::snprintf(text, sizeof text, "SetAttribute(0x%02llX)", static_cast<unsigned long long>(attribute));
  return result(record(text), uefi::SUCCESS);
}

EFI_STATUS FIRMWARE_CALL fake_clear_screen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*) {
  return result(record("ClearScreen"), uefi::SUCCESS);
}

EFI_STATUS FIRMWARE_CALL fake_read_key_stroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, EFI_INPUT_KEY* key) {
  const bool failing = record("ReadKeyStroke", "{read}");
  FakeFirmware& fw = *active;
  if (fw.next_key >= fw.keys.size()) return result(failing, END_OF_SCRIPT);
  const KeyStep& step = fw.keys[fw.next_key];
  // A firmware that reports a warning has delivered a key.
  const bool warning = failing && !uefi::is_error(fw.fail_status);
  if (!warning && ((step.waited && !fw.key_ready) || (failing && fw.fail_status == uefi::NOT_READY))) {
    return result(failing, uefi::NOT_READY);
  }
  // The key is filled even when the status is an error, so a caller that used it would show it.
  *key = step.key;
  fw.key_ready = false;
  ++fw.next_key;
  return result(failing, step.read_status);
}

EFI_STATUS FIRMWARE_CALL fake_wait_for_event(UINTN count, EFI_EVENT* events, UINTN* index) {
  const bool key_event = count >= 1 && events[0] == KEY_EVENT;
  const bool failing = record("WaitForEvent(" + std::to_string(count) + ", " + (key_event ? "WaitForKey" : "other") +
                                  ", index " + std::to_string(*index) + ")",
                              "{wait}");
  FakeFirmware& fw = *active;
  const EFI_STATUS status = result(failing, uefi::SUCCESS);
  if (fw.next_key >= fw.keys.size()) return status;
  if (uefi::is_error(status)) {
    ++fw.next_key;
    return status;
  }
  fw.key_ready = true;
  return status;
}

EFI_STATUS FIRMWARE_CALL fake_set_watchdog_timer(UINTN timeout, UINT64 code, UINTN size, const CHAR16* data) {
  return result(record("SetWatchdogTimer(" + std::to_string(timeout) + ", " + std::to_string(code) + ", " +
                       std::to_string(size) + ", " + (data == nullptr ? "null" : "data") + ")"),
                uefi::SUCCESS);
}

}  // namespace

KeyStep key_char(char16_t ch) { return KeyStep{{0, ch}}; }
KeyStep key_scan(UINT16 scan_code, char16_t ch) { return KeyStep{{scan_code, ch}}; }

KeyStep waited(KeyStep step) {
  step.waited = true;
  return step;
}

KeyStep with_read_status(KeyStep step, EFI_STATUS status) {
  step.read_status = status;
  return step;
}

std::vector<KeyStep> typed(const std::string& text) {
  std::vector<KeyStep> steps;
  for (char c : text) steps.push_back(key_char(static_cast<unsigned char>(c)));
  return steps;
}

std::vector<KeyStep> keys(std::initializer_list<std::vector<KeyStep>> parts) {
  std::vector<KeyStep> all;
  for (const std::vector<KeyStep>& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

FakeFirmware::FakeFirmware() {
  con_out.Reset = fake_reset;
  con_out.OutputString = fake_output_string;
  con_out.SetAttribute = fake_set_attribute;
  con_out.ClearScreen = fake_clear_screen;
  con_in.ReadKeyStroke = fake_read_key_stroke;
  con_in.WaitForKey = KEY_EVENT;
  boot_services.WaitForEvent = fake_wait_for_event;
  boot_services.SetWatchdogTimer = fake_set_watchdog_timer;
  system_table.ConOut = &con_out;
  system_table.ConIn = &con_in;
  system_table.BootServices = &boot_services;
  firmware_context = FirmwareContext{};
  active = this;
}

FakeFirmware::~FakeFirmware() {
  firmware_context = FirmwareContext{};
  active = nullptr;
}

void FakeFirmware::connect() { monitor_fill_context(&system_table); }

std::vector<std::string> FakeFirmware::screen() const {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (char16_t unit : output) {
    if (unit == u'\n') {
      lines.emplace_back();
    } else if (unit == u'\r') {
      column = 0;
    } else if (unit == u'\b') {
      if (column > 0) --column;
    } else {
      std::string& line = lines.back();
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}
