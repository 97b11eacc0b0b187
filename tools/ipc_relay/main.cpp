// ipc_relay: "host" bridges a pool helper's named pipes to a launcher, "remote" is what the
// launcher starts on the other side (see pool/).
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pool/host_relay.h"
#include "pool/remote_part.h"

namespace {

constexpr int EXIT_USAGE = 2;

// Parses argv with entries; false after printing why it cannot.
bool parse(int* argc, char*** argv, GOptionEntry* entries, const char* words) {
  GOptionContext* context = g_option_context_new(words);
  g_option_context_add_main_entries(context, entries, nullptr);
  GError* error = nullptr;
  const bool parsed = g_option_context_parse(context, argc, argv, &error);
  if (!parsed) {
    std::fprintf(stderr, "ipc_relay: %s\n", error->message);
    g_error_free(error);
  }
  g_option_context_free(context);
  return parsed;
}

std::string take(gchar* text) {
  std::string value = text != nullptr ? text : "";
  g_free(text);
  return value;
}

int host_mode(int argc, char** argv) {
  RELAY_OPTIONS options;
  gchar *read_pipe = nullptr, *write_pipe = nullptr, *launcher = nullptr, *remote = nullptr,
        *helper = nullptr;
  GOptionEntry entries[] = {
      {"helper_index", 0, 0, G_OPTION_ARG_INT, &options.helper_index, "slot", "I"},
      {"read_pipe", 0, 0, G_OPTION_ARG_FILENAME, &read_pipe, "the dispatcher's orders", "TO"},
      {"write_pipe", 0, 0, G_OPTION_ARG_FILENAME, &write_pipe, "the dispatcher's reports", "FROM"},
      {"launcher", 0, 0, G_OPTION_ARG_STRING, &launcher, "ssh:HOSTS, slurm or a prefix", "L"},
      {"remote-relay", 0, 0, G_OPTION_ARG_FILENAME, &remote, "ipc_relay on the remote side", "P"},
      {"helper", 0, 0, G_OPTION_ARG_STRING, &helper, "the helper's command line", "CMD"},
      {"attempts", 0, 0, G_OPTION_ARG_INT, &options.attempts, "tries per partition", "N"},
      {"heartbeat", 0, 0, G_OPTION_ARG_DOUBLE, &options.heartbeat_seconds, "seconds", "S"},
      {"start-timeout", 0, 0, G_OPTION_ARG_DOUBLE, &options.start_timeout_seconds, "seconds", "S"},
      {}};
  const bool parsed = parse(&argc, &argv, entries, "host");
  options.read_pipe = take(read_pipe);
  options.write_pipe = take(write_pipe);
  options.launcher = take(launcher);
  options.remote_relay = take(remote);
  options.helper_command = take(helper);
  if (!parsed || argc != 1 || options.read_pipe.empty() || options.write_pipe.empty() ||
      options.launcher.empty() || options.remote_relay.empty() || options.helper_command.empty() ||
      options.attempts < 1 || options.heartbeat_seconds <= 0) {
    std::fprintf(stderr,
                 "ipc_relay host: needs --launcher, --remote-relay, --helper, "
                 "--helper_index, --read_pipe and --write_pipe\n");
    return EXIT_USAGE;
  }
  return run_host_relay(options);
}

// The helper's words follow "--", untouched.
int remote_mode(int argc, char** argv) {
  REMOTE_OPTIONS options;
  gchar* cwd = nullptr;
  GOptionEntry entries[] = {
      {"helper_index", 0, 0, G_OPTION_ARG_INT, &options.helper_index, "slot", "I"},
      {"heartbeat", 0, 0, G_OPTION_ARG_DOUBLE, &options.heartbeat_seconds, "seconds", "S"},
      {"cwd", 0, 0, G_OPTION_ARG_FILENAME, &cwd, "where the helper starts", "DIR"},
      {}};
  const bool parsed = parse(&argc, &argv, entries, "remote -- HELPER [ARG...]");
  options.cwd = take(cwd);
  for (int i = 1; i < argc; ++i)
    if (i > 1 || std::strcmp(argv[i], "--") != 0) options.helper_words.push_back(argv[i]);
  if (!parsed || options.helper_words.empty() || options.heartbeat_seconds <= 0) {
    std::fprintf(stderr, "ipc_relay remote: needs -- HELPER [ARG...]\n");
    return EXIT_USAGE;
  }
  return run_remote_part(options);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "host") return host_mode(argc - 1, argv + 1);
  if (mode == "remote") return remote_mode(argc - 1, argv + 1);
  std::fprintf(stderr, "usage: ipc_relay host|remote OPTIONS\n");
  return EXIT_USAGE;
}
