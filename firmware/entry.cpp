#include "efi.h"

FirmwareContext firmware_context;
