// The error a failed process start carries, shared by the real and the scripted host.
#include <system_error>

#include "host/thr_process.h"

THR_ERROR::THR_ERROR(std::string program, int os_error)
    : m_program(std::move(program)), m_os_error(os_error) {}

THR_ERROR::~THR_ERROR() = default;

BRANTOR_ERROR_MESSAGE* THR_ERROR::make_error_message() const {
  return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + m_program +
                                   "\": " + std::generic_category().message(m_os_error));
}
