// What libipc.so exports: the command class with all of its private state's operations, the two
// mutexes and the named-pipe list; nothing of the library's internals.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

// Demangled names of the defined dynamic symbols without signatures, less the toolchain's: standard
// template instantiations (a return type may come first) and markers beginning with "_".
std::set<std::string> exported_names() {
  const std::string command = std::string("nm -D -C -j --defined-only ") + IPC_LIBRARY_PATH;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  const std::regex toolchain("^_|^std::|^__gnu_cxx::| std::| __gnu_cxx::");
  std::set<std::string> names;
  char line[4096];
  while (nm && std::fgets(line, sizeof line, nm.get()) != nullptr) {
    const std::string name(line, std::strcspn(line, "(\n"));
    if (!std::regex_search(name, toolchain)) names.insert(name);
  }
  return names;
}

TEST(Symbols, LibraryExportsItsInterfaceAndNothingInternal) {
  const std::set<std::string> names = exported_names();
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
  const std::regex command_scope("^(IPC_COMMAND::|typeinfo (name )?for IPC_COMMAND)");
  for (const std::string& name : names)
    EXPECT_TRUE(expected.count(name) != 0 || std::regex_search(name, command_scope))
        << name << " is exported";
}

}  // namespace
