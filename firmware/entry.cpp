// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "entry.h"

#include "../monitor/monitor.h"
#include "console.h"

FirmwareContext firmware_context;

namespace {

// The SBAT record that shim and GRUB read before they start the image: the CSV of the SBAT format,
// then Tarnwick's generation, which the build raises when a security fix must revoke older images.
__attribute__((section(".sbat"), used)) constexpr char SBAT[] =
    "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n"
    "tarnwick," TARNWICK_SBAT_GENERATION ",Tarnwick,tarnwick," TARNWICK_VERSION "," TARNWICK_URL "\n";

// The boot manager arms a five-minute watchdog before it starts an application; a monitor that
// waits for a person must not be reset for waiting.
void disable_watchdog(EFI_BOOT_SERVICES* boot) {
  if (boot != nullptr && boot->SetWatchdogTimer != nullptr) boot->SetWatchdogTimer(0, 0, 0, nullptr);
}

// Statuses are dropped and missing members skipped: a console that cannot be prepared may still
// show text.
void prepare_console(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out) {
  if (out->Reset != nullptr) out->Reset(out, FALSE);
  if (out->SetAttribute != nullptr) out->SetAttribute(out, EFI_TEXT_ATTR(EFI_LIGHTGRAY, EFI_BLACK));
  if (out->ClearScreen != nullptr) out->ClearScreen(out);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI monitor_entry(EFI_HANDLE, EFI_SYSTEM_TABLE* system_table) {
  if (system_table == nullptr) return EFI_LOAD_ERROR;
  monitor_fill_context(system_table);

  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = firmware_context.con_out;
  if (out == nullptr || out->OutputString == nullptr) return EFI_LOAD_ERROR;
  disable_watchdog(firmware_context.boot_services);
  prepare_console(out);
  console_print("Tarnwick " TARNWICK_VERSION " [UEFI]\n");
  console_print("Type help for a short command list.\n\n");
  return monitor_run();
}
