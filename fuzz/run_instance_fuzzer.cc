// Runs the tool on argument vectors made from fuzz input: the input split on
// NUL bytes, after a program name. Both streams go to /dev/null for the run;
// the sanitizers and libFuzzer keep writing to the real standard error.
#include <getopt.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "tool/zem_dma_test.h"

namespace {

FILE* null_stream = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  null_stream = fopen("/dev/null", "w");
  return null_stream != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The pieces point into this copy, each ended by the NUL that split it.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  std::vector<char*> argv = {const_cast<char*>("zem_dma_test")};
  for (size_t start = 0; start < size;) {
    argv.push_back(&text[start]);
    while (text[start] != '\0') ++start;
    ++start;
  }
  argv.push_back(nullptr);

  // The tool parses once per process; the harness makes every input a fresh
  // process as far as the parser can tell.
  optind = 0;
  FILE* const out = stdout;
  FILE* const err = stderr;
  stdout = stderr = null_stream;
  zem_dma_test::ZemDmaTest tool;
  const int status =
      tool.RunInstance(static_cast<int>(argv.size()) - 1, argv.data());
  stdout = out;
  stderr = err;
  if (status != 0 && status != 9 && status != 15) __builtin_trap();
  // A taken command leaves the object holding the rest of the vector, which
  // still ends in its null entry.
  if (tool.command() != nullptr &&
      (tool.argc() < 0 || tool.argv()[tool.argc()] != nullptr)) {
    __builtin_trap();
  }
  return 0;
}
