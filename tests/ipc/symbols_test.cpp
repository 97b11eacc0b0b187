// What libipc.so exports: the command class with all of its private state's operations, the two
// mutexes and the named-pipe list; nothing of the library's internals.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

namespace {

// Demangled names of the defined dynamic symbols, without their signatures.
std::set<std::string> exported_names() {
  const std::string command = std::string("nm -D -C --defined-only ") + IPC_LIBRARY_PATH;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  std::set<std::string> names;
  if (!nm) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
    std::string text(line);
    const std::size_t name_start = text.find(' ', text.find(' ') + 1) + 1;  // after "addr type "
    std::string name = text.substr(name_start);
    name = name.substr(0, name.find('('));
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    names.insert(name);
  }
  return names;
}

bool begins_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Instantiations of standard templates keep the standard library's default visibility, and the
// address sanitizer adds its own markers; neither is part of the library's interface.
bool is_toolchain_symbol(const std::string& name) {
  for (const char* prefix : {"std::", "__gnu_cxx::", "__odr_asan", "__asan", "__ubsan", "_init",
                             "_fini", "__bss_start", "_edata", "_end"})
    if (begins_with(name, prefix)) return true;
  // A return type comes first in a demangled template instantiation.
  return name.find(" std::") != std::string::npos || name.find(" __gnu_cxx::") != std::string::npos;
}

TEST(Symbols, LibraryExportsItsInterfaceAndNothingInternal) {
  const std::set<std::string> names = exported_names();
  ASSERT_FALSE(names.empty()) << "nm found no symbols in " << IPC_LIBRARY_PATH;

  for (const char* expected : {"IPC_COMMAND::IPC_COMMAND",
                               "IPC_COMMAND::~IPC_COMMAND",
                               "IPC_COMMAND::run",
                               "IPC_COMMAND::run_with_named_pipe",
                               "IPC_COMMAND::get_process_status",
                               "IPC_COMMAND::write_to_stdin",
                               "IPC_COMMAND::terminate",
                               "IPC_COMMAND::disable_gui_update",
                               "IPC_COMMAND::disable_stderr_capture",
                               "IPC_COMMAND::disable_tcl_mode",
                               "IPC_COMMAND::set_msg_report",
                               "IPC_COMMAND::send_through_pipe",
                               "IPC_COMMAND::parse_output",
                               "IPC_COMMAND::process_line",
                               "IPC_COMMAND::is_stopped",
                               "IPC_COMMAND::IMPL::IMPL",
                               "IPC_COMMAND::IMPL::~IMPL",
                               "IPC_COMMAND::IMPL::run",
                               "IPC_COMMAND::IMPL::create_subprocess_and_run",
                               "IPC_COMMAND::IMPL::run_using_system",
                               "IPC_COMMAND::IMPL::run_on_pid",
                               "IPC_COMMAND::IMPL::initialise_buffers",
                               "IPC_COMMAND::IMPL::read_from_pipe",
                               "IPC_COMMAND::IMPL::append_maybe_flush_scan_buffer",
                               "IPC_COMMAND::IMPL::make_title",
                               "IPC_COMMAND::IMPL::make_full_command_line",
                               "IPC_COMMAND::IMPL::connect_pipes",
                               "IPC_COMMAND::IMPL::handle_process_pool_communication",
                               "IPC_COMMAND::IMPL::kill_process_for_broken_pipe",
                               "IPC_COMMAND::IMPL::handle_special_unix_exit_status",
                               "IPC_COMMAND::IMPL::post_msg",
                               "vtable for IPC_COMMAND",
                               "typeinfo for IPC_COMMAND",
                               "ipc_command_global_state_mutex",
                               "ipc_pipe_state_mutex",
                               "ipc_named_pipes"})
    EXPECT_EQ(names.count(expected), 1u) << expected << " is not exported";

  for (const std::string& name : names) {
    if (is_toolchain_symbol(name)) continue;
    const bool part_of_the_interface = begins_with(name, "IPC_COMMAND::") ||
                                       name == "vtable for IPC_COMMAND" ||
                                       begins_with(name, "typeinfo for IPC_COMMAND") ||
                                       begins_with(name, "typeinfo name for IPC_COMMAND") ||
                                       name == "ipc_command_global_state_mutex" ||
                                       name == "ipc_pipe_state_mutex" || name == "ipc_named_pipes";
    EXPECT_TRUE(part_of_the_interface) << name << " is exported";
  }

  for (const char* internal :
       {"ipc_get_commands", "ipc_get_cpu_seconds_used", "ipc_total_processing_time",
        "ipc_push_named_pipe", "ipc_pop_named_pipe", "ipc_signal_handler",
        "MSG_IPC::E::COMMAND_ERROR", "MSG_IPC::I::COMMAND_INFO", "MSG_IPC::W::COMMAND_WARNING",
        "msg_vdebug_is_enabled", "msg_vdebug_impl", "KORVEL::fmt_format_helper",
        "KORVEL::fmt_sprintf_helper", "KORVEL::fmt_args_error"})
    EXPECT_EQ(names.count(internal), 0u) << internal << " is exported";
}

}  // namespace
