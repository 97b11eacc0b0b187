// Progress reports of a child: the host command "ipc_progress DONE TOTAL ?TEXT?".
#pragma once

#include <functional>
#include <string>

// Receives one valid report: done and total are counts (done may exceed total), text may be "".
using HOST_PROGRESS_HANDLER = std::function<void(long done, long total, const std::string& text)>;

// Makes ipc_progress a host command (trusted and child interpreters) that hands each report to
// the handler; a bad call is a Tcl error in the child's interpreter. It exists while this lives.
class SCOPED_PROGRESS_COMMAND {
 public:
  explicit SCOPED_PROGRESS_COMMAND(HOST_PROGRESS_HANDLER handler);
  ~SCOPED_PROGRESS_COMMAND();
  SCOPED_PROGRESS_COMMAND(const SCOPED_PROGRESS_COMMAND&) = delete;
  SCOPED_PROGRESS_COMMAND& operator=(const SCOPED_PROGRESS_COMMAND&) = delete;

 private:
  HOST_PROGRESS_HANDLER m_handler;
};
