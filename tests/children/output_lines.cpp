// Writes a few lines in pieces, one of them to stderr, and a last line without its newline.
#include <unistd.h>

#include <cstring>

namespace {
void say(int fd, const char* text) {
  const size_t size = std::strlen(text);
  for (size_t done = 0; done < size;) {
    const ssize_t written = write(fd, text + done, size - done);
    if (written < 0) return;
    done += static_cast<size_t>(written);
  }
  usleep(20000);  // lets the reader take each piece separately
}
}  // namespace

int main() {
  say(1, "first line\nsec");
  say(1, "ond line\r\n");
  say(2, "to stderr\n");
  say(1, "tail");
  return 0;
}
