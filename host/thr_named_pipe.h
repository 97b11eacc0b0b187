// Named pipes (FIFOs in a private directory), one direction each.
#pragma once

#include <cstdint>

class THR_NAMED_PIPE {
 public:
  // The name identifies an existing FIFO; "" for one that create() will make.
  explicit THR_NAMED_PIPE(const char* name);
  // Closes the end this object opened; does not remove the FIFO.
  ~THR_NAMED_PIPE();
  THR_NAMED_PIPE(const THR_NAMED_PIPE&) = delete;
  THR_NAMED_PIPE& operator=(const THR_NAMED_PIPE&) = delete;

  // Makes a new FIFO in a private 0700 directory and stores its path in pipe_name; true on success.
  // The directory is made under $TMPDIR, or /tmp when that path would need quoting.
  bool create();
  // Opens the write end, waiting for a reader at most "thr_named_pipe_connect_timeout" ms
  // (default 10000); true when connected.
  bool connect();
  // Opens the read end without waiting for a writer; true when connected.
  bool connect_r();
  // Returns at once: bytes read (> 0), 0 when nothing waits, -1 on failure (error_status set).
  int32_t read(void* buffer, unsigned long size);
  // Writes all bytes; the count written, or -1 on failure (error_status set). Never raises SIGPIPE.
  int32_t write(const void* data, unsigned long size);
  // Deletes the FIFO (and its private directory) from the file system.
  void remove();

  char pipe_name[256];
  int32_t error_status;

 private:
  int m_fd;
  bool m_created;
};
