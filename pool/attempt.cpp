// A launcher process per attempt: its pipes, its end, and scancel for what Slurm still holds.
#include "pool/attempt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The value of key in a "key=value;key=value" handle.
std::string handle_field(const std::string& handle, const std::string& key) {
  const std::string needle = key + "=";
  for (size_t at = 0; at < handle.size();) {
    size_t end = handle.find(';', at);
    if (end == std::string::npos) end = handle.size();
    if (handle.compare(at, needle.size(), needle) == 0)
      return handle.substr(at + needle.size(), end - at - needle.size());
    at = end + 1;
  }
  return "";
}

}  // namespace

ATTEMPT::ATTEMPT(const LAUNCH& launch, FRAME_DECODER::ON_FRAME on_frame)
    : launch(launch), m_decoder(std::move(on_frame), [](std::string_view text) {
        std::fprintf(stderr, "ipc_relay: launcher: %.*s\n", static_cast<int>(text.size()),
                     text.data());
      }) {}

std::unique_ptr<ATTEMPT> ATTEMPT::start(const LAUNCH& launch, FRAME_DECODER::ON_FRAME on_frame,
                                        std::string* error) {
  std::unique_ptr<ATTEMPT> attempt(new ATTEMPT(launch, std::move(on_frame)));
  UNIQUE_FD child_in, child_out;
  if (!make_pipe(&child_in, &attempt->m_in) || !make_pipe(&attempt->m_out, &child_out)) {
    *error = "cannot create the launcher's pipes";
    return nullptr;
  }
  std::optional<pid_t> pid =
      spawn_in_group(launch.words, child_in.get(), child_out.get(), STDERR_FILENO, error);
  if (!pid) return nullptr;
  attempt->m_pid = *pid;
  return attempt;
}

bool ATTEMPT::read() {
  std::string bytes;
  if (read_some(m_out.get(), &bytes) > 0) {
    m_decoder.feed(bytes);
    return true;
  }
  m_decoder.finish();
  return false;
}

std::optional<int> ATTEMPT::launcher_status(std::chrono::milliseconds timeout) {
  if (!m_status && m_pid > 0) m_status = reap(m_pid, timeout);
  return m_status;
}

void ATTEMPT::end(std::chrono::milliseconds grace) {
  if (m_pid <= 0) return;
  m_in.reset();  // the remote part ends its helper at the end of its input
  bool ended = launcher_status(grace).has_value();
  if (!ended) {  // srun and ssh take SIGTERM as a request to cancel what they started
    kill_group(m_pid, SIGTERM);
    ended = launcher_status(std::chrono::seconds(2)).has_value();
  }
  kill_group(m_pid);
  if (!ended) launcher_status(std::chrono::seconds(5));
  // A launcher ended cleanly took its job with it; otherwise the job may still be queued or run.
  if (launch.slurm && !(ended && m_status && *m_status == 0)) cancel_job();
  m_out.reset();
  m_pid = 0;
}

// Inside an allocation only our step is cancelled; otherwise the whole job was ours.
void ATTEMPT::cancel_job() const {
  std::string job = handle_field(handle, "job");
  if (job.empty()) return;  // not known yet: the launcher's end took the request with it
  const std::string step = handle_field(handle, "step");
  if (std::getenv("SLURM_JOB_ID") != nullptr && !step.empty()) job += "." + step;
  UNIQUE_FD nothing = open_fd("/dev/null", O_RDWR);
  std::string error;
  std::optional<pid_t> pid = spawn_in_group({"scancel", "--quiet", job}, nothing.get(),
                                            nothing.get(), STDERR_FILENO, &error);
  if (!pid) {
    std::fprintf(stderr, "ipc_relay: %s\n", error.c_str());
    return;
  }
  if (!reap(*pid, std::chrono::seconds(10))) {
    kill_group(*pid);
    reap(*pid, std::chrono::seconds(1));
  }
}
