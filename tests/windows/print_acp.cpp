// Prints the ANSI code page the program runs under, so a test can prove
// which system it is talking to.
#include <windows.h>

#include <cstdio>

int main() {
  std::printf("%u\n", GetACP());
  return 0;
}
