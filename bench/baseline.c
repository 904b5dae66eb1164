#include <stdio.h>

int main(void) {
  puts(LINE);
  return 0;
}
