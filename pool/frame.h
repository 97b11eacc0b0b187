// The framed stream between the host relay and the remote part: one printable line per frame.
#pragma once

#include <functional>
#include <string>
#include <string_view>

enum class FRAME_TYPE : char {
  DATA = 'D',         // bytes for the other side's named pipe
  HEARTBEAT = 'H',    // the sender is alive
  READY = 'R',        // the helper has opened its pipes
  EXIT = 'X',         // the helper's wait status, in decimal
  KILL_HANDLE = 'K',  // where the remote part runs: host=..;pid=..;job=..;step=..
  OUTPUT = 'O',       // what the helper wrote to standard output or error
  FAILURE = 'F',      // why the remote part could not start the helper
};

struct FRAME {
  FRAME_TYPE type;
  std::string payload;
};

// The line that carries frame: marker, type, CRC-32, base64 payload, newline. Printable only, so
// a terminal on the way or another writer on the same stream cannot corrupt a frame unseen.
std::string encode_frame(const FRAME& frame);

// Cuts a byte stream into frames and stray text (whatever is not a whole, intact frame).
class FRAME_DECODER {
 public:
  using ON_FRAME = std::function<void(const FRAME&)>;
  using ON_STRAY = std::function<void(std::string_view)>;

  FRAME_DECODER(ON_FRAME on_frame, ON_STRAY on_stray)
      : m_on_frame(std::move(on_frame)), m_on_stray(std::move(on_stray)) {}
  // Takes the next bytes; complete frames and stray text are passed on in stream order.
  void feed(std::string_view bytes);
  // The stream ended: a pending partial line is stray text.
  void finish();
  // Takes what the descriptor holds; false, with the stream finished, at its end or on an error.
  bool feed_from(int fd);

 private:
  void take_line(std::string_view line);

  ON_FRAME m_on_frame;
  ON_STRAY m_on_stray;
  std::string m_pending;
};
