// Why a child could not be started, as the process service reports it: the command line, a
// process option, the working directory, or a step of the start.
#pragma once

#include <string>
#include <system_error>
#include <utility>

#include "host/thr_process.h"

// A command line that cannot be split into words; the reason comes from the splitter.
class COMMAND_LINE_ERROR : public THR_ERROR {
 public:
  COMMAND_LINE_ERROR(std::string command_line, std::string reason)
      : THR_ERROR(std::move(command_line), EINVAL), m_reason(std::move(reason)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot split the command line \"" + program() +
                                     "\" into words: " + m_reason);
  }

 private:
  std::string m_reason;
};

// A process option this host does not know.
class OPTION_ERROR : public THR_ERROR {
 public:
  OPTION_ERROR(std::string program, std::string option)
      : THR_ERROR(std::move(program), EINVAL), m_option(std::move(option)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + program() +
                                     "\": unknown process option \"" + m_option + "\"");
  }

 private:
  std::string m_option;
};

// A working directory the child cannot be started in: the directory is at fault, not the program.
class DIRECTORY_ERROR : public THR_ERROR {
 public:
  DIRECTORY_ERROR(std::string program, std::string directory, int os_error)
      : THR_ERROR(std::move(program), os_error), m_directory(std::move(directory)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot use \"" + m_directory +
                                     "\" as the working directory of \"" + program() +
                                     "\": " + std::generic_category().message(os_error()));
  }

 private:
  std::string m_directory;
};

// A step of the start failed; only a failed exec is the program's own fault.
class START_ERROR : public THR_ERROR {
 public:
  START_ERROR(std::string program, int os_error, std::string reason, bool exec)
      : THR_ERROR(std::move(program), os_error), m_reason(std::move(reason)), m_exec(exec) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + program() + "\": " + m_reason);
  }
  bool is_exec_failure() const override { return m_exec; }

 private:
  std::string m_reason;
  bool m_exec;
};
