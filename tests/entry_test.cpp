// SPDX-License-Identifier: BSD-2-Clause-Patent
// Start-up: what the firmware sees from the moment it calls the entry point, with the system
// table's members there or not. A member of a protocol missing or failing is a case of
// fault_test.cpp, which tries every call.
#include "firmware/entry.h"

#include <gtest/gtest.h>

#include "fake_firmware.h"
#include "model.h"

namespace {

const std::string WATCHDOG_OFF = "{SetWatchdogTimer(0, 0, 0, null)}";
const std::string RESET = "{Reset(0)}";
const std::string ATTRIBUTE = "{SetAttribute(0x07)}";
const std::string CLEAR = "{ClearScreen}";
const std::string GREETED = shown(GREETING) + "0 > ";
const std::string LEAVE_BY_ESC = "{read}\r\n";

struct StartCase {
  const char* name;
  void (*tweak)(FakeFirmware&);
  std::string trace;
  EFI_STATUS status;
};

TEST(Entry, TraceStatusAndContext) {
  const StartCase cases[] = {
      {"complete", [](FakeFirmware&) {}, WATCHDOG_OFF + RESET + ATTRIBUTE + CLEAR + GREETED + LEAVE_BY_ESC,
       uefi::SUCCESS},
      {"no ConOut", [](FakeFirmware& fw) { fw.system_table.ConOut = nullptr; }, "", uefi::LOAD_ERROR},
      {"no OutputString", [](FakeFirmware& fw) { fw.con_out.OutputString = nullptr; }, "", uefi::LOAD_ERROR},
      {"no ConIn", [](FakeFirmware& fw) { fw.system_table.ConIn = nullptr; },
       WATCHDOG_OFF + RESET + ATTRIBUTE + CLEAR + GREETED, uefi::LOAD_ERROR},
      {"no boot services", [](FakeFirmware& fw) { fw.system_table.BootServices = nullptr; },
       RESET + ATTRIBUTE + CLEAR + GREETED, uefi::LOAD_ERROR},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFirmware fw;
    fw.keys = {key_scan(uefi::SCAN_ESC)};
    c.tweak(fw);
    EXPECT_EQ(monitor_entry(nullptr, &fw.system_table), c.status);
    EXPECT_EQ(fw.trace, c.trace);
    EXPECT_EQ(firmware_context.system_table, &fw.system_table);
    EXPECT_EQ(firmware_context.boot_services, fw.system_table.BootServices);
    EXPECT_EQ(firmware_context.con_out, fw.system_table.ConOut);
    EXPECT_EQ(firmware_context.con_in, fw.system_table.ConIn);
  }
}

TEST(Entry, NullSystemTableTouchesNothing) {
  FakeFirmware fw;
  fw.connect();
  const FirmwareContext before = firmware_context;
  EXPECT_EQ(monitor_entry(nullptr, nullptr), uefi::LOAD_ERROR);
  EXPECT_TRUE(fw.calls.empty());
  EXPECT_EQ(firmware_context.system_table, before.system_table);
  EXPECT_EQ(firmware_context.con_out, before.con_out);
}

TEST(Entry, ScreenBeforeTheFirstKeyReadsBannerHintEmptyLinePrompt) {
  FakeFirmware fw;
  fw.system_table.ConIn = nullptr;
  monitor_entry(nullptr, &fw.system_table);
  EXPECT_EQ(fw.screen(), (std::vector<std::string>{"Tarnwick " TARNWICK_VERSION " [UEFI]",
                                                   "Type help for a short command list.", "", "0 >"}));
}

}  // namespace
