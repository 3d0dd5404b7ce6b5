// SPDX-License-Identifier: BSD-2-Clause-Patent
// Fault injection: a whole session through the fake firmware, replayed once for every firmware
// call it makes, with that call failing in each way that call can fail.
#include <gtest/gtest.h>

#include <cstdio>

#include "fake_firmware.h"
#include "firmware/entry.h"

namespace {

// Start-up, every word, erase with both keys, keys that change nothing, keys that are ready at
// once and keys that must be waited for, then bye.
std::vector<KeyStep> session_keys() {
  std::vector<KeyStep> script =
      keys({typed("help\r Words\rpwd\ndev /\rDEV\r.properties\rboot\rboot Disk0\rhello there\r\rpwdx"),
            {key_char(u'\b'), key_scan(0x02) /* cursor down */, key_char(u'\t')},
            typed("yz"),
            {key_scan(uefi::SCAN_DELETE), key_scan(uefi::SCAN_DELETE), waited(key_char(u'\r'))}});
  for (KeyStep step : typed("bye\r")) script.push_back(waited(step));
  return script;
}

struct Session {
  Calls calls;
  EFI_STATUS status;
  std::u16string output;
};

Session run_session(const std::function<void(FakeFirmware&)>& fault) {
  FakeFirmware fw;
  fw.keys = session_keys();
  fault(fw);
  const EFI_STATUS status = monitor_entry(nullptr, &fw.system_table);
  return {fw.calls, status, fw.output};
}

std::string call_name(const std::string& call) { return call.substr(0, call.find_first_of(" (")); }

// Takes the named member away; for key input, at the start of the read that makes the call,
// where the system tests for it.
void remove_member(FakeFirmware& fw, const std::string& name) {
  if (name == "OutputString") fw.con_out.OutputString = nullptr;
  if (name == "Reset") fw.con_out.Reset = nullptr;
  if (name == "SetAttribute") fw.con_out.SetAttribute = nullptr;
  if (name == "ClearScreen") fw.con_out.ClearScreen = nullptr;
  if (name == "SetWatchdogTimer") fw.boot_services.SetWatchdogTimer = nullptr;
  if (name == "ReadKeyStroke") fw.con_in.ReadKeyStroke = nullptr;
  if (name == "WaitForEvent") fw.boot_services.WaitForEvent = nullptr;
}

std::size_t start_of_read(const Calls& calls, std::size_t position) {
  while (position > 0 && call_name(calls[position]) != "ReadKeyStroke") --position;
  if (position > 0 && call_name(calls[position - 1]) == "WaitForEvent") position -= 2;
  return position;
}

TEST(FaultInjection, EveryCallFailingInTurn) {
  const Session baseline = run_session([](FakeFirmware&) {});
  ASSERT_EQ(baseline.status, uefi::SUCCESS);
  int runs = 0;

  for (std::size_t position = 0; position < baseline.calls.size(); ++position) {
    const std::string name = call_name(baseline.calls[position]);
    const bool key_input = name == "ReadKeyStroke" || name == "WaitForEvent";
    SCOPED_TRACE("call " + std::to_string(position) + ": " + baseline.calls[position]);

    // An error: a failed key read ends the dialogue at once with that status and prints nothing
    // more; a failed output or console preparation is ignored and nothing changes.
    // A warning counts as success wherever it comes from.
    for (const EFI_STATUS status : {uefi::DEVICE_ERROR, uefi::WARN_UNKNOWN_GLYPH}) {
      const Session run = run_session([&](FakeFirmware& fw) {
        fw.fail_call = position;
        fw.fail_status = status;
      });
      ++runs;
      if (key_input && uefi::is_error(status)) {
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.calls, Calls(baseline.calls.begin(), baseline.calls.begin() + position + 1));
      } else {
        // A key that comes with a warning needs no wait, so only the dialogue stays the same.
        EXPECT_EQ(run.status, baseline.status);
        EXPECT_EQ(run.output, baseline.output);
        if (!key_input) EXPECT_EQ(run.calls, baseline.calls);
      }
    }

    // No key at a read that had one: the system waits and reads again; when the read that
    // follows a wait finds none, that status ends the dialogue.
    if (name == "ReadKeyStroke") {
      const Session run = run_session([&](FakeFirmware& fw) {
        fw.fail_call = position;
        fw.fail_status = uefi::NOT_READY;
      });
      ++runs;
      if (position > 0 && call_name(baseline.calls[position - 1]) == "WaitForEvent") {
        EXPECT_EQ(run.status, uefi::NOT_READY);
        EXPECT_EQ(run.calls, Calls(baseline.calls.begin(), baseline.calls.begin() + position + 1));
      } else {
        EXPECT_EQ(run.status, baseline.status);
        EXPECT_EQ(run.output, baseline.output);
      }
    }

    // A member taken away: missing key input ends the dialogue with EFI_LOAD_ERROR before the
    // read calls anything; missing output or console preparation is skipped.
    const std::size_t from = key_input ? start_of_read(baseline.calls, position) : position;
    const Session run = run_session([&](FakeFirmware& fw) {
      if (from == 0) remove_member(fw, name);
      fw.change_after_calls = from;
      fw.change = [&](FakeFirmware& changed) { remove_member(changed, name); };
    });
    ++runs;
    Calls expected(baseline.calls.begin(), baseline.calls.begin() + from);
    if (key_input) {
      EXPECT_EQ(run.status, uefi::LOAD_ERROR);
    } else {
      EXPECT_EQ(run.status, baseline.status);
      for (std::size_t n = from; n < baseline.calls.size(); ++n) {
        if (call_name(baseline.calls[n]) != name) expected.push_back(baseline.calls[n]);
      }
    }
    EXPECT_EQ(run.calls, expected);
  }
  std::printf("fault injection: %zu call positions, %d faulty sessions, none crashed\n", baseline.calls.size(), runs);
}

}  // namespace
