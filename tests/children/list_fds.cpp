// Prints the number of every open descriptor, one per line.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main() {
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return 2;
  const int own = dirfd(directory);
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != own) std::printf("%d\n", fd);
  }
  closedir(directory);
  return 0;
}
