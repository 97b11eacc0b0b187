// Named pipes (FIFOs in a private directory), one direction each.
#pragma once

#include <cstdint>

class THR_NAMED_PIPE {
 public:
  // The name identifies an existing FIFO; "" for one that create() will make.
  explicit THR_NAMED_PIPE(const char* name);
  // Closes the end this object opened; removes the FIFO if this object created it.
  ~THR_NAMED_PIPE();
  THR_NAMED_PIPE(const THR_NAMED_PIPE&) = delete;
  THR_NAMED_PIPE& operator=(const THR_NAMED_PIPE&) = delete;

  // Makes a new FIFO in a private 0700 directory and stores its path in pipe_name; true on success.
  // The directory is made under $TMPDIR, or /tmp when that path would need quoting. ENOSPC when
  // the host already has 1,024 FIFOs it would remove at its end.
  bool create();
  // Opens the write end, waiting for a reader at most "thr_named_pipe_connect_timeout" ms
  // (default 10000), less once the child last started on this thread has ended (ECHILD) or a
  // stop is requested (EINTR); true when connected. A FIFO this object created then leaves the
  // file system: both ends are open, nobody needs its name any more.
  bool connect();
  // Opens the read end without waiting for a writer; true when connected.
  bool connect_r();
  // Returns at once: bytes read (> 0), 0 when nothing waits, -1 on failure (error_status set;
  // EPIPE once the writer has closed its end).
  int32_t read(void* buffer, unsigned long size);
  // Writes all bytes, waiting for the reader at most "thr_named_pipe_write_timeout" ms (default
  // 1000) and not at all after a stop request; the count written, or -1 on failure
  // (error_status set, ETIMEDOUT when the reader did not take the bytes). Never raises SIGPIPE.
  int32_t write(const void* data, unsigned long size);
  // Deletes the FIFO (and its private directory) from the file system.
  void remove();

  char pipe_name[256];
  int32_t error_status;

 private:
  // Takes a FIFO this object created off the file system.
  void unlink_once_both_ends_open();

  int m_fd;
  bool m_created;  // this object made the FIFO, which is still on the file system
};
