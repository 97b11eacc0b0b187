// What libipc.so exports: the command class with all of its private state's operations, the two
// mutexes and the named-pipe list; nothing of the library's internals.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

// Demangled names of the defined dynamic symbols, without their signatures.
std::set<std::string> exported_names() {
  const std::string command = std::string("nm -D -C --defined-only ") + IPC_LIBRARY_PATH;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  std::set<std::string> names;
  char line[4096];
  while (nm && std::fgets(line, sizeof line, nm.get()) != nullptr) {
    std::string name(line);
    name = name.substr(name.find(' ', name.find(' ') + 1) + 1);  // after "address type "
    names.insert(name.substr(0, name.find_first_of("(\n")));
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

  std::set<std::string> expected = {"vtable for IPC_COMMAND", "typeinfo for IPC_COMMAND",
                                    "ipc_command_global_state_mutex", "ipc_pipe_state_mutex",
                                    "ipc_named_pipes"};
  for (const char* operations :
       {"IPC_COMMAND:: IPC_COMMAND ~IPC_COMMAND run run_with_named_pipe get_process_status "
        "write_to_stdin terminate disable_gui_update disable_stderr_capture disable_tcl_mode "
        "set_msg_report send_through_pipe parse_output process_line is_stopped",
        "IPC_COMMAND::IMPL:: IMPL ~IMPL run create_subprocess_and_run run_using_system run_on_pid "
        "initialise_buffers read_from_pipe append_maybe_flush_scan_buffer make_title "
        "make_full_command_line connect_pipes handle_process_pool_communication "
        "kill_process_for_broken_pipe handle_special_unix_exit_status post_msg"}) {
    std::istringstream words(operations);
    std::string scope;
    words >> scope;
    for (std::string name; words >> name;) expected.insert(scope + name);
  }
  for (const std::string& name : expected)
    EXPECT_EQ(names.count(name), 1u) << name << " is not exported";
  for (const std::string& name : names)
    EXPECT_TRUE(expected.count(name) != 0 || is_toolchain_symbol(name) ||
                begins_with(name, "IPC_COMMAND::") ||
                begins_with(name, "typeinfo for IPC_COMMAND") ||
                begins_with(name, "typeinfo name for IPC_COMMAND"))
        << name << " is exported";
}

}  // namespace
