// The pipe ends the process service hands out as handles, and the handles' reads and writes.
#include "host/posix/pipe_registry.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <map>
#include <mutex>

#include "host/posix/posix_io.h"
#include "host/thr_process.h"

namespace {

// The pipe ends handed out to callers. Handles are never reused, so a handle kept after its
// close cannot reach a later pipe that got the same descriptor number. Shared ownership lets a
// read in progress keep its descriptor while another thread closes the handle.
class PIPE_REGISTRY {
 public:
  unsigned long add(UNIQUE_FD fd) {
    auto owner = std::make_shared<UNIQUE_FD>(std::move(fd));
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned long handle = m_next_handle++;
    m_pipes[handle] = std::move(owner);
    return handle;
  }
  std::shared_ptr<UNIQUE_FD> find(unsigned long handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pipes.find(handle);
    return it == m_pipes.end() ? nullptr : it->second;
  }
  void remove(unsigned long handle) {
    std::shared_ptr<UNIQUE_FD> closing;  // closed outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pipes.find(handle);
    if (it == m_pipes.end()) return;
    closing = std::move(it->second);
    m_pipes.erase(it);
  }

 private:
  std::mutex m_mutex;
  std::map<unsigned long, std::shared_ptr<UNIQUE_FD>> m_pipes;
  unsigned long m_next_handle = 1;  // 0 stays "no pipe"
};

PIPE_REGISTRY& pipes() {
  static PIPE_REGISTRY* registry = new PIPE_REGISTRY;  // never destroyed: used by exit handlers
  return *registry;
}

}  // namespace

unsigned long pipe_registry_add(UNIQUE_FD fd) { return pipes().add(std::move(fd)); }

int thr_process_peek(unsigned long pipe, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  // Poll before counting: a hang-up seen first with nothing counted after means nothing can come.
  pollfd pfd{fd->get(), POLLIN, 0};
  if (retry_on_eintr([&] { return poll(&pfd, 1, 0); }) < 0) return -1;
  if (pfd.revents == 0) return 0;  // an idle pass costs this one call
  int waiting = 0;
  if (ioctl(fd->get(), FIONREAD, &waiting) != 0) return -1;
  if (waiting > 0) {
    *count = static_cast<uint32_t>(waiting);
    return 0;
  }
  return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

int thr_process_read(unsigned long pipe, void* buffer, unsigned long capacity, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  size_t wanted = capacity > UINT32_MAX ? UINT32_MAX : capacity;
  ssize_t n = retry_on_eintr([&] { return ::read(fd->get(), buffer, wanted); });
  if (n < 0) return errno;
  *count = static_cast<uint32_t>(n);
  return n == 0 && wanted > 0 ? 1 : 0;  // end of the pipe
}

int thr_process_write(unsigned long pipe, const void* data, unsigned long size, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  size_t written = 0;
  int error = write_all_without_sigpipe(fd->get(), data, size, &written);
  *count = static_cast<uint32_t>(written > UINT32_MAX ? UINT32_MAX : written);
  return written > 0 ? 0 : error;  // like write(2): a short count first, the error next time
}

void thr_process_close_pipe(unsigned long pipe) { pipes().remove(pipe); }
