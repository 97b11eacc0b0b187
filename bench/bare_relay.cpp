// Baselines for the whole-path benchmark (bench/whole_path.py), the least a host can do:
//   bare_relay relay COMMAND...  runs COMMAND and relays its Tcl lines with the Tcl C API alone:
//                                getline, Tcl_CommandComplete, Tcl_EvalEx, a C msg_post printing
//                                "INFO: <text>" lines through buffered stdio;
//   bare_relay sleep SECONDS     sleeps 1 ms at a time for that long, as an idle host must.
#include <tcl.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// msg_post REPORT SEVERITY ?ID? TEXT
int msg_post(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 4 && objc != 5) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "REPORT SEVERITY ?ID? TEXT");
    return TCL_ERROR;
  }
  std::fputs("INFO: ", stdout);
  std::fputs(Tcl_GetString(objv[objc - 1]), stdout);
  std::fputc('\n', stdout);
  return TCL_OK;
}

std::string quoted_command(int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) {
    command += command.empty() ? "'" : " '";
    for (const char* c = argv[i]; *c != '\0'; ++c)
      command += *c == '\'' ? "'\\''" : std::string(1, *c);
    command += "'";
  }
  return command;
}

int relay(int argc, char** argv) {
  FILE* child = popen(quoted_command(argc, argv).c_str(), "r");
  if (child == nullptr) return 1;
  Tcl_Interp* interpreter = Tcl_CreateInterp();
  Tcl_CreateObjCommand(interpreter, "msg_post", msg_post, nullptr, nullptr);
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  std::string buffer;
  while ((length = getline(&line, &capacity, child)) > 0) {
    if (line[length - 1] == '\n') line[--length] = '\0';
    if (!buffer.empty()) buffer += '\n';
    buffer.append(line, static_cast<size_t>(length));
    if (Tcl_CommandComplete(buffer.c_str()) != 1) continue;
    Tcl_EvalEx(interpreter, buffer.c_str(), static_cast<int>(buffer.size()), TCL_EVAL_GLOBAL);
    buffer.clear();
  }
  std::free(line);
  Tcl_DeleteInterp(interpreter);
  return pclose(child) == 0 ? 0 : 1;
}

int sleep_loop(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  const timespec one_ms{0, 1000000};
  while (std::chrono::steady_clock::now() < end) nanosleep(&one_ms, nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Tcl_FindExecutable(argv[0]);
  if (argc >= 3 && std::strcmp(argv[1], "relay") == 0) return relay(argc - 2, argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "sleep") == 0) return sleep_loop(std::atof(argv[2]));
  std::fputs("usage: bare_relay relay COMMAND... | bare_relay sleep SECONDS\n", stderr);
  return 2;
}
