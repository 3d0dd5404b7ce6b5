// Start-up: what the firmware sees from the moment it calls the entry point.
#include "firmware/entry.h"

#include <gtest/gtest.h>

#include "fake_firmware.h"

namespace {

const Calls WATCHDOG_OFF = {"SetWatchdogTimer(0, 0, 0, null)"};
const Calls RESET = {"Reset(0)"};
const Calls ATTRIBUTE = {"SetAttribute(0x07)"};
const Calls CLEAR = {"ClearScreen"};
const Calls GREETING =
    sequence({printed("Tarnwick 1.1 [UEFI]\n"), printed("Type help for a short command list.\n\n"), printed("0 > ")});
const Calls LEAVE_BY_ESC = sequence({{"ReadKeyStroke"}, printed("\n")});

struct StartCase {
  const char* name;
  void (*tweak)(FakeFirmware&);
  Calls calls;
  EFI_STATUS status;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartUpTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartUpTest, CallsAndStatus) {
  FakeFirmware fw;
  fw.keys = {key_scan(SCAN_ESC)};
  GetParam().tweak(fw);
  EXPECT_EQ(monitor_entry(nullptr, &fw.system_table), GetParam().status);
  EXPECT_EQ(fw.calls, GetParam().calls);
  EXPECT_EQ(firmware_context.system_table, &fw.system_table);
  EXPECT_EQ(firmware_context.boot_services, fw.system_table.BootServices);
  EXPECT_EQ(firmware_context.con_out, fw.system_table.ConOut);
  EXPECT_EQ(firmware_context.con_in, fw.system_table.ConIn);
}

INSTANTIATE_TEST_SUITE_P(
    Entry, StartUpTest,
    testing::Values(
        StartCase{"Complete", [](FakeFirmware&) {},
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"NoConOut", [](FakeFirmware& fw) { fw.system_table.ConOut = nullptr; }, {}, EFI_LOAD_ERROR},
        StartCase{"NoOutputString", [](FakeFirmware& fw) { fw.con_out.OutputString = nullptr; }, {}, EFI_LOAD_ERROR},
        StartCase{"NoConIn", [](FakeFirmware& fw) { fw.system_table.ConIn = nullptr; },
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, CLEAR, GREETING}), EFI_LOAD_ERROR},
        StartCase{"NoBootServices", [](FakeFirmware& fw) { fw.system_table.BootServices = nullptr; },
                  sequence({RESET, ATTRIBUTE, CLEAR, GREETING}), EFI_LOAD_ERROR},
        StartCase{"NoSetWatchdogTimer", [](FakeFirmware& fw) { fw.boot_services.SetWatchdogTimer = nullptr; },
                  sequence({RESET, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"NoReset", [](FakeFirmware& fw) { fw.con_out.Reset = nullptr; },
                  sequence({WATCHDOG_OFF, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"NoSetAttribute", [](FakeFirmware& fw) { fw.con_out.SetAttribute = nullptr; },
                  sequence({WATCHDOG_OFF, RESET, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"NoClearScreen", [](FakeFirmware& fw) { fw.con_out.ClearScreen = nullptr; },
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"WatchdogFails", [](FakeFirmware& fw) { fw.fail_call = 0, fw.fail_status = EFI_DEVICE_ERROR; },
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"ResetFails", [](FakeFirmware& fw) { fw.fail_call = 1, fw.fail_status = EFI_DEVICE_ERROR; },
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS},
        StartCase{"ClearScreenFails", [](FakeFirmware& fw) { fw.fail_call = 3, fw.fail_status = EFI_DEVICE_ERROR; },
                  sequence({WATCHDOG_OFF, RESET, ATTRIBUTE, CLEAR, GREETING, LEAVE_BY_ESC}), EFI_SUCCESS}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST(Entry, NullSystemTableTouchesNothing) {
  FakeFirmware fw;
  fw.connect();
  const FirmwareContext before = firmware_context;
  EXPECT_EQ(monitor_entry(nullptr, nullptr), EFI_LOAD_ERROR);
  EXPECT_TRUE(fw.calls.empty());
  EXPECT_EQ(firmware_context.system_table, before.system_table);
  EXPECT_EQ(firmware_context.con_out, before.con_out);
}

TEST(Entry, ScreenBeforeTheFirstKeyReadsBannerHintEmptyLinePrompt) {
  FakeFirmware fw;
  fw.system_table.ConIn = nullptr;
  monitor_entry(nullptr, &fw.system_table);
  EXPECT_EQ(fw.screen(),
            (std::vector<std::string>{"Tarnwick 1.1 [UEFI]", "Type help for a short command list.", "", "0 >"}));
}

}  // namespace
