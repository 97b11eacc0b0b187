// Debug output of module "IPC".
#include "trace/msg_vdebug.h"

#include <cstdarg>

bool msg_vdebug_is_enabled(MSG_D_LEVEL level) {
  // Nothing is cached: the host's settings may change between two calls.
  if (!msg_initialized) return false;
  if (!MSG_D::debug_messages_enabled(nullptr)) return false;
  MSG_D probe(nullptr);
  return probe.set_enabled(IPC_MODULE, level);
}

void msg_vdebug_impl(MSG_D_LEVEL level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    msg_local_vdebug(IPC_MODULE, level, format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}
