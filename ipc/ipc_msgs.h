// The library's message family: ids 112000 (info), 112001 (warning), 112002 (error), module "IPC".
#pragma once

#include <string>

#include "host/msg.h"

namespace MSG_IPC {
namespace E {
// A new error message 112002 carrying text up to its first zero byte; the caller owns it.
MSG_E* COMMAND_ERROR(const std::string& text);
}  // namespace E
namespace I {
// A new information message 112000, or a null message when 112000 is suppressed.
MSG_I* COMMAND_INFO(const std::string& text);
}  // namespace I
namespace W {
// A new warning message 112001, or a null message when 112001 is suppressed.
MSG_W* COMMAND_WARNING(const std::string& text);
}  // namespace W

// A new debug message of module "IPC" at level (2 when not given).
MSG_D* DEBUG_MSG(MSG_D_LEVEL level, const char* format, ...);
MSG_D* DEBUG_MSG(const char* format, ...);
}  // namespace MSG_IPC
