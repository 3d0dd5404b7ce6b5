// SPDX-License-Identifier: BSD-2-Clause-Patent
// Fuzzes whole lines through the interpreter against the model. The line lives in a heap block of
// exactly its size, so that AddressSanitizer reports any read past its NUL.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fake_firmware.h"
#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
  std::memcpy(buffer.get(), line.c_str(), line.size() + 1);

  FakeFirmware fw;
  fw.connect();
  const MonitorVerdict verdict = monitor_interpret(buffer.get());
  bool leave;
  const std::string expected = model_answer(line, &leave);
  std::u16string widened;
  for (unsigned char c : shown(expected)) widened += c;
  if (fw.output != widened) {
    std::fprintf(stderr, "wrong answer:\n%s\n---- expected ----\n%s\n", fw.trace.c_str(), shown(expected).c_str());
    std::abort();
  }
  if ((verdict == MONITOR_LEAVE) != leave) {
    std::fprintf(stderr, "wrong verdict %d\n", verdict);
    std::abort();
  }
  return 0;
}
