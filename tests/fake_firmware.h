// SPDX-License-Identifier: BSD-2-Clause-Patent
// A fake firmware for host tests: a system table whose protocols record every call, in order, and
// a key source that plays a script of keystrokes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "firmware/efi.h"
#include "uefi_numbers.h"

using Calls = std::vector<std::string>;

// What ReadKeyStroke reports once the script has no keys left: a status no test injects.
constexpr EFI_STATUS END_OF_SCRIPT = uefi::ABORTED;

// One scripted keystroke. A waited key is not ready at the first ReadKeyStroke but only after a
// WaitForEvent; the status is what ReadKeyStroke reports when it hands the key over, so a step can
// bring a warning or a second EFI_NOT_READY.
struct KeyStep {
  EFI_INPUT_KEY key;
  bool waited = false;
  EFI_STATUS read_status = uefi::SUCCESS;
};

KeyStep key_char(char16_t ch);
KeyStep key_scan(UINT16 scan_code, char16_t ch = 0);
KeyStep waited(KeyStep step);
KeyStep with_read_status(KeyStep step, EFI_STATUS status);
std::vector<KeyStep> typed(const std::string& text);
std::vector<KeyStep> keys(std::initializer_list<std::vector<KeyStep>> parts);

class FakeFirmware {
 public:
  FakeFirmware();
  ~FakeFirmware();
  FakeFirmware(const FakeFirmware&) = delete;
  FakeFirmware& operator=(const FakeFirmware&) = delete;

  // Fills FirmwareContext from the fake's tables as the entry point does.
  void connect();
  // Everything written, drawn as a terminal shows it, one string per line, trailing blanks cut.
  std::vector<std::string> screen() const;

  EFI_SYSTEM_TABLE system_table{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL con_out{};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL con_in{};
  EFI_BOOT_SERVICES boot_services{};

  // The call at this position in `calls` returns fail_status instead of its own status.
  std::size_t fail_call = SIZE_MAX;
  EFI_STATUS fail_status = uefi::SUCCESS;
  // Run once as soon as this many calls have been made, to change the tables under the system.
  std::size_t change_after_calls = SIZE_MAX;
  std::function<void(FakeFirmware&)> change;

  // Every call with its arguments, one entry a call.
  Calls calls;
  // The same calls as one text: what was written, as written, with every other call in braces
  // ({read}, {wait}, {ClearScreen} ...) where it happened. How the output was split into calls
  // does not show here; `calls` has that.
  std::string trace;
  std::u16string output;
  std::vector<KeyStep> keys;
  std::size_t next_key = 0;
  bool key_ready = false;
};
