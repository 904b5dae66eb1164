#ifndef ZEM_DMA_TEST_TOOL_ZEM_DMA_TEST_H_
#define ZEM_DMA_TEST_TOOL_ZEM_DMA_TEST_H_

#include <stddef.h>
#include <stdio.h>

namespace zem_dma_test {

// Exit statuses. Scripts rely on these values; a run ends with no other.
inline constexpr int kStatusOk = 0;
// Standard output could not be written: what the run had to say was lost.
inline constexpr int kStatusWriteError = 1;
inline constexpr int kStatusOptionError = 9;
inline constexpr int kStatusCommandError = 15;

// The command-line tool: holds the argument vector, parses the options and
// dispatches the command. Its pointers point into the process's own argument
// vector; it copies and frees nothing. One object runs once per process,
// because the option parser keeps its position in libc and nothing resets it.
class ZemDmaTest {
 public:
  // Takes the whole process vector (program name first), parses it and runs
  // the command it names. Returns the exit status.
  int RunInstance(int argc, char** argv);

  // Answers --help and --version, reports an option error or a missing
  // command, or takes the command name out of the vector held, leaving the
  // object holding only the command's own arguments. Sets *run, always, to
  // whether a command is to be dispatched. Returns the status.
  int ParseArgs(bool* run);

  const char* command() const { return command_; }
  int argc() const { return argc_; }
  char** argv() const { return argv_; }

 private:
  const char* command_ = nullptr;
  int argc_ = 0;
  char** argv_ = nullptr;
};

// Writes a text constant, without its terminating NUL, in one call.
template <size_t kSize>
void WriteText(const char (&text)[kSize], FILE* stream) {
  fwrite(text, 1, kSize - 1, stream);
}

// Flushes standard output at the end of a run. A run that succeeded but
// whose output was lost ends with kStatusWriteError and a line on standard
// error saying why; any other status is returned as it is.
int FlushOutput(int status);

}  // namespace zem_dma_test

#endif  // ZEM_DMA_TEST_TOOL_ZEM_DMA_TEST_H_
