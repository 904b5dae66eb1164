#include "tool/zem_dma_test.h"

#include <getopt.h>

#include <vector>

#include "gtest/gtest.h"

namespace zem_dma_test {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The tool parses once per process; each run here starts the parser afresh.
// glibc, musl and bionic all take optind 0 as a request to reinitialise.
int RunFresh(ZemDmaTest* tool, std::vector<char*>* argv) {
  optind = 0;
  CaptureStdout();
  CaptureStderr();
  const int status =
      tool->RunInstance(static_cast<int>(argv->size()) - 1, argv->data());
  GetCapturedStdout();
  GetCapturedStderr();
  return status;
}

// What a process cannot show: once the command is taken, the object holds
// just the command's own arguments, as pointers into the process vector.
TEST(RunInstanceTest, LeavesTheCommandsArgumentsInTheVector) {
  struct Case {
    std::vector<const char*> args;  // After the program name.
    const char* command;
    int first_argument;  // Index into the vector.
    int argc;
  } cases[] = {
      {{"perf"}, "perf", 2, 0},
      {{"perf", "a", "b"}, "perf", 2, 2},
      {{"--", "perf", "a"}, "perf", 3, 1},
      {{"PERF", "x"}, "PERF", 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size());
    std::vector<char*> argv = {const_cast<char*>("zem_dma_test")};
    for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    ZemDmaTest tool;
    RunFresh(&tool, &argv);
    ASSERT_NE(tool.command(), nullptr);
    EXPECT_STREQ(tool.command(), c.command);
    EXPECT_EQ(tool.argc(), c.argc);
    EXPECT_EQ(tool.argv(), argv.data() + c.first_argument);
    EXPECT_EQ(tool.argv()[tool.argc()], nullptr);
  }
}

// A vector without even a program name must not be read past its end.
TEST(RunInstanceTest, EmptyVectorIsAMissingCommand) {
  std::vector<char*> argv = {nullptr};
  ZemDmaTest tool;
  optind = 0;
  CaptureStderr();
  EXPECT_EQ(tool.RunInstance(0, argv.data()), kStatusCommandError);
  EXPECT_EQ(GetCapturedStderr().rfind("No command was specified.\n", 0), 0u);
  EXPECT_EQ(tool.command(), nullptr);
}

}  // namespace
}  // namespace zem_dma_test
