// The library's message family: ids 112000 (info), 112001 (warning), 112002 (error), module "IPC".
#include "ipc/ipc_msgs.h"

#include <cstdarg>
#include <memory>

#include "host/mem.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

// Constructed first and destroyed last of this unit's objects.
MEM_INITIALIZER mem_initializer(IPC_MODULE);

constexpr unsigned IPC_COMMAND_INFO_ID = 112000;
constexpr unsigned IPC_COMMAND_WARNING_ID = 112001;
constexpr unsigned IPC_COMMAND_ERROR_ID = 112002;

const unsigned ipc_msg_ids[] = {IPC_COMMAND_INFO_ID, IPC_COMMAND_WARNING_ID, IPC_COMMAND_ERROR_ID};
const MSG_POST_TYPE ipc_msg_id_types[] = {MSG_POST_INFO, MSG_POST_WARNING, MSG_POST_ERROR};
MSG_ID_REGISTRAR ipc_msg_id_registrar(ipc_msg_ids, ipc_msg_id_types, 3);

constexpr int INVALID_POST_TYPE_LINE = 1017;

// The text reaches the message as NUL-terminated data, so it ends at its first zero byte.
template <typename MESSAGE>
MESSAGE* make_message(const char* format, unsigned id, const std::string& text) {
  auto message = std::make_unique<MESSAGE>(nullptr);
  message->fill_args(format, text.c_str());
  message->set_id(id);
  return message.release();
}

template <typename MESSAGE, typename NULL_MESSAGE>
MESSAGE* make_unless_suppressed(const char* format, unsigned id, const std::string& text) {
  if (MSG_INDEX::get_default_index()->is_suppressed(id)) return new NULL_MESSAGE;
  return make_message<MESSAGE>(format, id, text);
}

// Ends a va_list however its scope is left.
struct VA_LIST_END {
  va_list& args;
  ~VA_LIST_END() { va_end(args); }
};

MSG_D* make_debug(MSG_D_LEVEL level, const char* format, va_list args) {
  auto message = std::make_unique<MSG_D>(nullptr);
  message->fill_args(format, args);
  message->set_debug_module(IPC_MODULE, level);
  return message.release();
}

}  // namespace

void MSG_BASE::fill_args(const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    fill_args(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

namespace MSG_IPC {

// The error is never checked against the index: errors cannot be suppressed.
MSG_E* E::COMMAND_ERROR(const std::string& text) {
  return make_message<MSG_E>("%1!s!/EIPC_COMMAND_ERROR", IPC_COMMAND_ERROR_ID, text);
}

MSG_I* I::COMMAND_INFO(const std::string& text) {
  return make_unless_suppressed<MSG_I, MSG_I_NULL>("%1!s!/IIPC_COMMAND_INFO", IPC_COMMAND_INFO_ID,
                                                   text);
}

MSG_W* W::COMMAND_WARNING(const std::string& text) {
  return make_unless_suppressed<MSG_W, MSG_W_NULL>("%1!s!/WIPC_COMMAND_WARNING",
                                                   IPC_COMMAND_WARNING_ID, text);
}

MSG_D* DEBUG_MSG(MSG_D_LEVEL level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const VA_LIST_END end{args};
  return make_debug(level, format, args);
}

MSG_D* DEBUG_MSG(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const VA_LIST_END end{args};
  return make_debug(MSG_D_LEVEL_2, format, args);
}

}  // namespace MSG_IPC

void IPC_COMMAND::IMPL::post_msg(const std::string& text, MSG_POST_TYPE type) {
  std::unique_ptr<MSG_BASE> message;  // deleted also when post throws
  switch (type) {
    case MSG_POST_ERROR:
      message.reset(MSG_IPC::E::COMMAND_ERROR(text));
      break;
    case MSG_POST_INFO:
      message.reset(MSG_IPC::I::COMMAND_INFO(std::string(text.c_str())));
      break;
    case MSG_POST_WARNING:
      message.reset(MSG_IPC::W::COMMAND_WARNING(std::string(text.c_str())));
      break;
    default:
      MSG_INTERNAL_ERROR::report("Invalid MSG_POST_TYPE", IPC_MODULE, IPC_SOURCE_FILE,
                                 INVALID_POST_TYPE_LINE);
  }
  message->post();
}
