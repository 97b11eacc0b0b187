// One start of a helper's remote part through a launcher, and the framed stream to it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "pool/frame.h"
#include "pool/io.h"
#include "pool/launcher.h"

class ATTEMPT {
 public:
  // Starts launch's words in their own process group, their stdin and stdout piped to us.
  static std::unique_ptr<ATTEMPT> start(const LAUNCH& launch, FRAME_DECODER::ON_FRAME on_frame,
                                        std::string* error);
  ~ATTEMPT() { end(std::chrono::milliseconds(0)); }
  ATTEMPT(const ATTEMPT&) = delete;
  ATTEMPT& operator=(const ATTEMPT&) = delete;

  // Sends frame; false once the launcher's input is broken.
  bool send(const FRAME& frame) { return m_in && write_all(m_in.get(), encode_frame(frame)); }
  // Reads what the launcher wrote; false at its end.
  bool read();
  // Closes the launcher's input, gives it grace to end, then ends its process group and cancels
  // its Slurm job. Idempotent.
  void end(std::chrono::milliseconds grace);
  int output() const { return m_out.get(); }
  // The launcher's wait status, once it ended.
  std::optional<int> launcher_status(std::chrono::milliseconds timeout);

  const LAUNCH launch;
  const CLOCK::time_point started = CLOCK::now();
  CLOCK::time_point last_heard = started;
  bool ready = false;
  std::string handle;                // the remote part's "host=..;pid=..;job=..;step=.."
  std::string failure;               // why the remote part could not start the helper
  std::optional<int> helper_status;  // the helper's wait status, as the remote part saw it

 private:
  ATTEMPT(const LAUNCH& launch, FRAME_DECODER::ON_FRAME on_frame);
  void cancel_job() const;

  FRAME_DECODER m_decoder;
  UNIQUE_FD m_in, m_out;
  pid_t m_pid = 0;
  std::optional<int> m_status;
};
