// Opens the named pipe given as --pipe_name=PATH for reading, prints "ready PATH", then reads
// one line from it, prints "got LINE" and exits.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const char* prefix = "--pipe_name=";
  std::string path;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
      path = argv[i] + std::strlen(prefix);
  if (path.empty()) return 2;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 1;
  std::printf("ready %s\n", path.c_str());
  std::fflush(stdout);
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  std::printf("got %s\n", line.c_str());
  return 0;
}
