// Starts a program with an empty argument vector, not even a name, which no
// shell can do. Linux 5.18 and later hand such a program one empty argument
// instead; older kernels and other systems hand it argc 0.
#include <stdio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: exec_empty_argv PROGRAM\n", stderr);
    return 2;
  }
  char* empty[] = {NULL};
  execv(argv[1], empty);
  perror(argv[1]);
  return 127;
}
