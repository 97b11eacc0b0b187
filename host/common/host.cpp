#include "host/host.h"

#include "host/common/host_internal.h"
#include "host/msg.h"
#include "host/ztcl.h"

void host_start(const char* argv0) {
  if (ztcl_get_trusted_interpreter() != nullptr) return;  // started already
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
