// SPDX-License-Identifier: BSD-2-Clause-Patent
// Changes that must not reach an image unnoticed, one built in at a time beside the image's own
// code; `used` keeps each although nothing calls it.
#define KEPT extern "C" __attribute__((used))

#if defined(FAULT_POINTER_TABLE)
const char* const NAMES[] = {"a", "b"};
KEPT const char* const* fault_names() { return NAMES; }
#elif defined(FAULT_GLOBAL)
int counter;
KEPT int fault_count() { return ++counter; }
#elif defined(FAULT_INITIALISED_GLOBAL)
int level = 3;
KEPT int fault_level() { return ++level; }
#elif defined(FAULT_RUNTIME_CALL)
extern "C" void* memcpy(void*, const void*, unsigned long);
KEPT void fault_copy(char* a, const char* b) { memcpy(a, b, 64); }
#endif
