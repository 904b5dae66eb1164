#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "tool/zem_dma_test.h"

namespace zem_dma_test {
namespace {

constexpr char kCommandMustBeGiven[] = "A command must be given.\n";

}  // namespace

int ZemDmaTest::RunInstance(int argc, char** argv) {
  argc_ = argc;
  argv_ = argv;
  bool run = false;
  const int status = ParseArgs(&run);
  if (status != kStatusOk) return status;
  if (!run) return kStatusOk;  // Help or version has been answered.
  // ParseArgs sets run only with a command; should that ever fail, say so
  // rather than dispatch on nothing. No run can get here, so coverage
  // leaves it out.
  // GCOVR_EXCL_START
  if (command_ == nullptr) {
    fwrite(kCommandMustBeGiven, 1, sizeof(kCommandMustBeGiven) - 1, stderr);
    return kStatusCommandError;
  }
  // GCOVR_EXCL_STOP
  if (strcmp(command_, "perf") == 0) {
    // Placeholder until performance tests exist; its arguments are unused.
    puts("Performance command not implemented.");
    return kStatusOk;
  }
  // Verbatim, so that the caller sees exactly what it passed.
  fprintf(stderr, "Invalid command \"%s\".\n", command_);
  return kStatusCommandError;
}

int FlushOutput(int status) {
  // A failed run wrote nothing to standard output, and its status says more
  // than a write error would.
  if (status != kStatusOk) return status;
  // A failed write or flush sets the stream's error indicator and errno.
  fflush(stdout);
  if (!ferror(stdout)) return status;
  fprintf(stderr, "zem_dma_test: write error: %s\n", strerror(errno));
  return kStatusWriteError;
}

}  // namespace zem_dma_test
