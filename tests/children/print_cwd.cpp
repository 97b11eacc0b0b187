// Prints its working directory.
#include <unistd.h>

#include <cstdio>

int main() {
  char directory[4096];
  if (getcwd(directory, sizeof directory) == nullptr) return 1;
  std::printf("%s\n", directory);
  return 0;
}
