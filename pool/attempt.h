// One start of a helper's remote part through a launcher, and the framed stream to it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "pool/dial_back.h"
#include "pool/frame.h"
#include "pool/io.h"
#include "pool/launcher.h"

class ATTEMPT {
 public:
  // Starts launch's words in their own process group, their stdin and stdout piped to us, and
  // listens for the remote part's call back when launch asks for one.
  static std::unique_ptr<ATTEMPT> start(const LAUNCH& launch, FRAME_DECODER::ON_FRAME on_frame,
                                        std::string* error);
  ~ATTEMPT() { end(std::chrono::milliseconds(0)); }
  ATTEMPT(const ATTEMPT&) = delete;
  ATTEMPT& operator=(const ATTEMPT&) = delete;

  // Sends frame, over the call back once there is one; false once that stream is broken.
  bool send(const FRAME& frame);
  // Reads what is there: the launcher's output, a call back, its frames; false at the end of
  // the stream that carries the frames.
  bool read();
  // Closes the launcher's input, gives it grace to end, then ends its process group and cancels
  // its Slurm job. Idempotent.
  void end(std::chrono::milliseconds grace);
  // What to poll for read: an epoll set of all the streams while a call back is awaited or on.
  int output() const { return m_streams ? m_streams.get() : m_out.get(); }
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
  bool listen();
  void take_caller();

  FRAME_DECODER m_decoder, m_caller_decoder;
  DIAL_BACK_LISTENER m_listener;
  UNIQUE_FD m_in, m_out, m_caller, m_streams;
  pid_t m_pid = 0;
  std::optional<int> m_status;
};
