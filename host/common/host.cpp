// Start-up and shut-down of the host layer.
#include "host/host.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/common/host_internal.h"
#include "host/msg.h"
#include "host/thr_process.h"
#include "host/ztcl.h"

namespace {

char g_program[64] = "host";

// The soft limit as ulimit shows it, into text.
const char* soft_limit(int resource, char (&text)[24]) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return "unlimited";
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(limit.rlim_cur));
  return text;
}

// Tcl cannot go on (it could not have a thread, memory or a descriptor): names the cause and the
// limits that may have caused it, ends the children and fails like any run that could not start,
// instead of aborting.
void host_panic(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  char processes[24], descriptors[24];
  std::fprintf(stderr, "%s: Tcl cannot go on: %s (limits: ulimit -u is %s, ulimit -n is %s)\n",
               g_program, text, soft_limit(RLIMIT_NPROC, processes),
               soft_limit(RLIMIT_NOFILE, descriptors));
  thr_process_terminate_all();
  _exit(125);
}

}  // namespace

void host_start(const char* argv0) {
  if (ztcl_get_trusted_interpreter() != nullptr) return;  // started already
  const char* slash = argv0 != nullptr ? std::strrchr(argv0, '/') : nullptr;
  if (argv0 != nullptr) std::snprintf(g_program, sizeof g_program, "%s", slash ? slash + 1 : argv0);
  Tcl_SetPanicProc(host_panic);
  ztcl_open_interpreter(argv0);
  host_create_message_commands();
  msg_initialized = true;
}

void host_adopt(Tcl_Interp* interpreter) {
  if (ztcl_get_trusted_interpreter() != nullptr) return;  // started already
  ztcl_adopt_interpreter(interpreter);
  host_create_message_commands();
  msg_initialized = true;
}

void host_stop() {
  msg_initialized = false;
  ztcl_close_interpreter();
}
