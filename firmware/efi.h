// SPDX-License-Identifier: BSD-2-Clause-Patent
// The UEFI types, members, status values and key codes Tarnwick uses, laid out as UEFI 2.x defines
// them for each architecture, and the one record of firmware pointers the image keeps. Members the
// system never touches are kept as opaque pointers so that the tables keep their real layout.
// Everything that differs between architectures is in this file.
#pragma once

// x64 firmware calls with the Microsoft convention; on IA32, AArch64 and RISC-V the platform's C
// convention is the UEFI one.
#if defined(__x86_64__)
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

using BOOLEAN = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using UINT64 = unsigned long long;
// The machine word: 64 bits on x64, AArch64 and RISC-V 64, 32 bits on IA32.
using UINTN = __UINTPTR_TYPE__;
using CHAR16 = char16_t;
using EFI_STATUS = UINTN;
using EFI_HANDLE = void*;
using EFI_EVENT = void*;

constexpr BOOLEAN FALSE = 0;

constexpr EFI_STATUS EFI_SUCCESS = 0;
// A status is an error when the top bit of the word is set; warnings count as success.
constexpr EFI_STATUS EFI_ERROR_BIT = EFI_STATUS{1} << (8 * sizeof(EFI_STATUS) - 1);
constexpr EFI_STATUS EFI_LOAD_ERROR = EFI_ERROR_BIT | 1;
constexpr EFI_STATUS EFI_NOT_READY = EFI_ERROR_BIT | 6;

constexpr bool EFI_ERROR(EFI_STATUS status) { return (status & EFI_ERROR_BIT) != 0; }

constexpr UINT16 SCAN_DELETE = 0x08;
constexpr UINT16 SCAN_ESC = 0x17;
constexpr CHAR16 CHAR_BACKSPACE = 0x08;
constexpr CHAR16 CHAR_LINEFEED = 0x0A;
constexpr CHAR16 CHAR_CARRIAGE_RETURN = 0x0D;

constexpr UINTN EFI_BLACK = 0x00;
constexpr UINTN EFI_LIGHTGRAY = 0x07;
constexpr UINTN EFI_TEXT_ATTR(UINTN foreground, UINTN background) { return foreground | (background << 4); }

struct EFI_INPUT_KEY {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
};

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

using EFI_INPUT_RESET = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
using EFI_INPUT_READ_KEY = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, EFI_INPUT_KEY* Key);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  EFI_INPUT_RESET Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  EFI_EVENT WaitForKey;
};

using EFI_TEXT_RESET = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
using EFI_TEXT_STRING = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, const CHAR16* String);
using EFI_TEXT_SET_ATTRIBUTE = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN Attribute);
using EFI_TEXT_CLEAR_SCREEN = EFI_STATUS(EFIAPI*)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_TEXT_RESET Reset;
  EFI_TEXT_STRING OutputString;
  void* TestString;
  void* QueryMode;
  void* SetMode;
  EFI_TEXT_SET_ATTRIBUTE SetAttribute;
  EFI_TEXT_CLEAR_SCREEN ClearScreen;
  void* SetCursorPosition;
  void* EnableCursor;
  void* Mode;
};

using EFI_WAIT_FOR_EVENT = EFI_STATUS(EFIAPI*)(UINTN NumberOfEvents, EFI_EVENT* Event, UINTN* Index);
using EFI_SET_WATCHDOG_TIMER = EFI_STATUS(EFIAPI*)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                   const CHAR16* WatchdogData);

// Laid out up to SetWatchdogTimer, the last member the system calls; the firmware's table goes on.
struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  void* RaiseTPL;
  void* RestoreTPL;
  void* AllocatePages;
  void* FreePages;
  void* GetMemoryMap;
  void* AllocatePool;
  void* FreePool;
  void* CreateEvent;
  void* SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  void* SignalEvent;
  void* CloseEvent;
  void* CheckEvent;
  void* InstallProtocolInterface;
  void* ReinstallProtocolInterface;
  void* UninstallProtocolInterface;
  void* HandleProtocol;
  void* Reserved;
  void* RegisterProtocolNotify;
  void* LocateHandle;
  void* LocateDevicePath;
  void* InstallConfigurationTable;
  void* LoadImage;
  void* StartImage;
  void* Exit;
  void* UnloadImage;
  void* ExitBootServices;
  void* GetNextMonotonicCount;
  void* Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* StdErr;
  void* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  void* ConfigurationTable;
};

// The offsets the system reads, as the firmware lays them out: the 64-bit figure, then the 32-bit.
constexpr unsigned long EFI_WORD = sizeof(UINTN);
constexpr unsigned long by_word(unsigned long wide, unsigned long narrow) { return EFI_WORD == 8 ? wide : narrow; }
#define EFI_OFFSET(type, member) __builtin_offsetof(type, member)
static_assert(EFI_WORD == sizeof(void*) && (EFI_WORD == 8 || EFI_WORD == 4), "UINTN is the machine word");
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "table header");
static_assert(sizeof(EFI_INPUT_KEY) == 4 && EFI_OFFSET(EFI_INPUT_KEY, UnicodeChar) == 2, "input key");
static_assert(EFI_OFFSET(EFI_SYSTEM_TABLE, ConIn) == by_word(48, 36), "system table ConIn");
static_assert(EFI_OFFSET(EFI_SYSTEM_TABLE, ConOut) == by_word(64, 44), "system table ConOut");
static_assert(EFI_OFFSET(EFI_SYSTEM_TABLE, BootServices) == by_word(96, 60), "system table BootServices");
static_assert(sizeof(EFI_SYSTEM_TABLE) == by_word(120, 72), "system table size");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, ReadKeyStroke) == by_word(8, 4), "ReadKeyStroke");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, WaitForKey) == by_word(16, 8), "WaitForKey");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Reset) == 0, "text Reset");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == by_word(8, 4), "OutputString");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetAttribute) == by_word(40, 20), "SetAttribute");
static_assert(EFI_OFFSET(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, ClearScreen) == by_word(48, 24), "ClearScreen");
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == by_word(80, 40), "text output protocol size");
static_assert(EFI_OFFSET(EFI_BOOT_SERVICES, WaitForEvent) == by_word(96, 60), "WaitForEvent");
static_assert(EFI_OFFSET(EFI_BOOT_SERVICES, SetWatchdogTimer) == by_word(256, 140), "SetWatchdogTimer");
#undef EFI_OFFSET

// The firmware pointers the entry point caches, before any output or input, for the console
// operations to read. The only writable data of the image.
struct FirmwareContext {
  EFI_SYSTEM_TABLE* system_table;
  EFI_BOOT_SERVICES* boot_services;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* con_out;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL* con_in;
};

extern FirmwareContext firmware_context __attribute__((visibility("hidden")));
