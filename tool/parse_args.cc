#include <getopt.h>
#include <stdio.h>

#include "tool/zem_dma_test.h"
#include "zem_dma_test_version.h"

namespace zem_dma_test {
namespace {

// Wherever it is printed, the usage text is followed by an empty line; the
// constant holds both so that either stream gets them in one write.
constexpr char kUsage[] =
    "Usage: zem_dma_test [options] <command> [command args]\n"
    "\n"
    "Commands:\n"
    "    perf                    Run performance tests.\n"
    "\n"
    "Options:\n"
    "\n"
    "    --help                  Display usage info and exit.\n"
    "    -h\n"
    "    --version               Display version info and exit.\n"
    "\n";

constexpr char kVersion[] = "zem_dma_test version " ZEM_DMA_TEST_VERSION "\n";
constexpr char kNoCommandSpecified[] = "No command was specified.\n";

// Above every option letter, so --version has no short form.
constexpr int kVersionOption = 256;

constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int ZemDmaTest::ParseArgs(bool* run) {
  *run = false;
  // The first option found decides the outcome, so the parser is asked once.
  // With an empty vector (argc 0) glibc, musl and bionic all answer -1 and
  // leave optind past it, which is the missing command.
  const int option = getopt_long(argc_, argv_, "h", kLongOptions, nullptr);
  switch (option) {
    case -1:
      if (optind < argc_) {
        command_ = argv_[optind];
        ++optind;
        argc_ -= optind;
        argv_ += optind;
        *run = true;
        return kStatusOk;
      }
      WriteText(kNoCommandSpecified, stderr);
      WriteText(kUsage, stderr);
      return kStatusCommandError;
    case kVersionOption:
      WriteText(kVersion, stdout);
      return kStatusOk;
    case 'h':
      WriteText(kUsage, stdout);
      return kStatusOk;
    default:
      // The parser has already written its own complaint (opterr is left on).
      WriteText(kUsage, stderr);
      return kStatusOptionError;
  }
}

}  // namespace zem_dma_test
