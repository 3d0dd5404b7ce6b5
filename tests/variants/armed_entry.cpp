// SPDX-License-Identifier: BSD-2-Clause-Patent
// Starts the dialogue as the entry point does, but leaves the firmware's watchdog armed.
#include "firmware/entry.h"
#include "monitor/monitor.h"

extern "C" EFI_STATUS EFIAPI armed_entry(EFI_HANDLE, EFI_SYSTEM_TABLE* table) {
  monitor_fill_context(table);
  return monitor_run();
}
