// Runs a program with both streams sent to /dev/null and prints, in KiB, the
// peak resident memory of that program alone. The kernel's maxrss would also
// count whatever the process was before its exec (the spawner's memory), so
// the figure is read from the program's own address space as it exits.
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

static long PeakKib(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
  FILE* status = fopen(path, "r");
  long kib = -1;
  char line[256];
  while (status != NULL && fgets(line, sizeof(line), status) != NULL) {
    if (sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  }
  if (status != NULL) fclose(status);
  return kib;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: peak_rss PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    ptrace(PTRACE_TRACEME, 0, NULL, NULL);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status;
  waitpid(pid, &status, 0);  // Stopped by its exec.
  ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)PTRACE_O_TRACEEXIT);
  long kib = -1;
  for (int signal = 0;;) {
    ptrace(PTRACE_CONT, pid, NULL, (void*)(long)signal);
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) break;
    signal = 0;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      kib = PeakKib(pid);
    } else if (WSTOPSIG(status) != SIGTRAP) {
      signal = WSTOPSIG(status);
    }
  }
  if (kib < 0) return 1;
  printf("%ld\n", kib);
  return 0;
}
