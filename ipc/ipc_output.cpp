// From the child's output pipe to lines: reading chunks, cutting them at newlines, pumping the
// GUI while output flows, and accounting the processor time spent on it.
#include <sys/resource.h>

#include <cstdint>
#include <cstring>

#include "host/thr_gui.h"
#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

double ipc_total_processing_time = 0.0;

namespace {

double timeval_seconds(const timeval& value) {
  return static_cast<double>(value.tv_usec) / 1000000.0 + static_cast<double>(value.tv_sec);
}

// A scan buffer that grew this far for one outsized line is given back after it.
constexpr size_t OUTSIZED_CAPACITY = 1 << 20;

// The GUI gets its turn after every read attempt, so a chatty child cannot freeze it.
void pump_gui() {
  if (thr_qt_process_events() == 0) thr_win32_pump_messages(250);
}

// The one body of append_maybe_flush_scan_buffer, inlined into the splitting loop.
inline void append_to_scan_buffer(IPC_COMMAND& ipc_root, IPC_COMMAND::IMPL& impl, const char* bytes,
                                  size_t size, bool flush) {
  std::string& scan = impl.m_scan_buffer;
  scan.append(bytes, size);
  if (!flush) return;
  ipc_root.process_line(scan);
  scan.clear();
  if (scan.capacity() > OUTSIZED_CAPACITY && scan.capacity() > 2 * impl.m_buffer_size) {
    std::string ordinary;
    ordinary.reserve(2 * impl.m_buffer_size);
    scan.swap(ordinary);
  }
}

}  // namespace

double ipc_get_cpu_seconds_used() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  return timeval_seconds(usage.ru_utime) + timeval_seconds(usage.ru_stime);
}

void IPC_COMMAND::IMPL::initialise_buffers() {
  m_scan_buffer.clear();
  m_scan_buffer.reserve(2 * m_buffer_size);
  m_read_buffer = std::make_unique<char[]>(m_buffer_size);
  m_line_buffer = std::make_unique<char[]>(m_buffer_size);
}

bool IPC_COMMAND::IMPL::read_from_pipe(IPC_COMMAND& ipc_root, unsigned long pipe,
                                       bool& data_available) {
  uint32_t waiting = 0;
  uint32_t read_count = 0;
  const int peek_status = thr_process_peek(pipe, &waiting);
  data_available = false;
  if (waiting == 0) return peek_status == 0;

  data_available = true;
  const int read_status = thr_process_read(pipe, m_read_buffer.get(), m_buffer_size, &read_count);
  if (read_status == 0) ipc_root.parse_output(gsl::span<char>(m_read_buffer.get(), read_count));
  if (m_gui_update) pump_gui();
  return read_status == 0;
}

void IPC_COMMAND::IMPL::append_maybe_flush_scan_buffer(IPC_COMMAND& ipc_root, gsl::span<char> bytes,
                                                       bool flush) {
  append_to_scan_buffer(ipc_root, *this, bytes.data(), bytes.size(), flush);
}

// Each line goes from the chunk straight into the scan buffer (one copy per line); the newline
// itself is dropped, every other byte (CR and NUL included) stays in the line.
void IPC_COMMAND::parse_output(gsl::span<char> chunk) {
  const double start = ipc_get_cpu_seconds_used();
  IMPL& impl = *m_impl;
  const char* rest = chunk.data();
  const char* const end = rest + chunk.size();
  while (rest != end) {
    const auto* newline = static_cast<const char*>(std::memchr(rest, '\n', end - rest));
    if (newline == nullptr) {
      append_to_scan_buffer(*this, impl, rest, end - rest, false);
      break;
    }
    append_to_scan_buffer(*this, impl, rest, newline - rest, true);
    rest = newline + 1;
  }
  ipc_total_processing_time += ipc_get_cpu_seconds_used() - start;
}
