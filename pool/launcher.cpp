// ssh and srun command lines, and any prefix of the user's, around the remote part's words.
#include "pool/launcher.h"

#include <glib.h>

#include <cstdlib>
#include <memory>

namespace {

// ssh hands its words to the remote shell joined by blanks, so each is quoted for that shell.
std::string remote_shell_text(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    std::unique_ptr<gchar, decltype(&g_free)> quoted(g_shell_quote(word.c_str()), g_free);
    text += (text.empty() ? "" : " ") + std::string(quoted.get());
  }
  return text;
}

std::vector<std::string> split_hosts(const std::string& list) {
  std::vector<std::string> hosts;
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) hosts.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return hosts;
}

LAUNCH over_ssh(const std::vector<std::string>& hosts, int slot, int attempt,
                const std::vector<std::string>& remote_words) {
  const std::string& host = hosts[static_cast<size_t>(slot + attempt) % hosts.size()];
  // Keep-alives notice a dead network; batch mode never waits for a password.
  return {{"ssh", "-T", "-o", "BatchMode=yes", "-o", "ServerAliveInterval=5", "-o",
           "ServerAliveCountMax=3", host, remote_shell_text(remote_words)},
          host,
          false};
}

// Inside an allocation each helper is a step of it, sharing it (--exact); outside, each helper
// is its own one-task job, queued and lost independently of the others. The frames go over a
// TCP connection the remote part opens back to us: srun relays stdio over its own TCP streams
// without TCP_NODELAY, so an answer written in two pieces waits for a delayed acknowledgement
// (about 40 ms a round trip, while every helper has one partition in flight). srun's stdio
// still carries the start, a failure to start, and everything should the call back fail.
LAUNCH through_slurm(int slot, const std::vector<std::string>& remote_words) {
  LAUNCH launch{{"srun", "--quiet", "--unbuffered", "--ntasks=1", "--nodes=1",
                 "--kill-on-bad-exit=1", "--job-name=ipc_helper_" + std::to_string(slot)},
                "slurm",
                true,
                true};
  if (std::getenv("SLURM_JOB_ID") != nullptr) launch.words.push_back("--exact");
  launch.words.insert(launch.words.end(), remote_words.begin(), remote_words.end());
  return launch;
}

}  // namespace

std::optional<LAUNCH> launch_words(const std::string& launcher, int slot, int attempt,
                                   const std::vector<std::string>& remote_words,
                                   std::string* error) {
  if (launcher.rfind("ssh:", 0) == 0) {
    std::vector<std::string> hosts = split_hosts(launcher.substr(4));
    if (!hosts.empty()) return over_ssh(hosts, slot, attempt, remote_words);
    *error = "--launcher ssh: needs at least one host";
    return std::nullopt;
  }
  if (launcher == "slurm") return through_slurm(slot, remote_words);
  gchar** argv = nullptr;
  GError* failure = nullptr;
  if (!g_shell_parse_argv(launcher.c_str(), nullptr, &argv, &failure)) {
    *error = "--launcher \"" + launcher + "\": " + failure->message;
    g_error_free(failure);
    return std::nullopt;
  }
  LAUNCH launch{{argv, argv + g_strv_length(argv)}, "", false};
  g_strfreev(argv);
  launch.where = launch.words.back();  // ssh's host, qrsh's options: the best guess there is
  std::unique_ptr<gchar, decltype(&g_free)> program(g_path_get_basename(launch.words[0].c_str()),
                                                    g_free);
  const std::string name = program.get();
  if (name == "ssh")
    launch.words.push_back(remote_shell_text(remote_words));
  else
    launch.words.insert(launch.words.end(), remote_words.begin(), remote_words.end());
  // srun given as a prefix is Slurm all the same: the call back, and scancel for what is left.
  launch.slurm = launch.dial_back = name == "srun";
  return launch;
}
