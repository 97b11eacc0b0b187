// A TCP connection from the remote part back to its host relay, for launchers whose own stdio
// forwarding is slow; the launcher's environment carries the port and a one-time token.
#pragma once

#include <string>

#include "pool/io.h"

// The host relay's side: a socket listening on every address of this host.
class DIAL_BACK_LISTENER {
 public:
  // Listens on an ephemeral port with a fresh token; false with errno set.
  bool open();
  void close() { m_socket.reset(); }
  int fd() const { return m_socket.get(); }
  // The "NAME=PORT:TOKEN" entry for the launcher's environment.
  std::string environment() const;
  // Takes one waiting caller: its socket if it sent the token first, else none (it is dropped).
  UNIQUE_FD accept_caller() const;

 private:
  UNIQUE_FD m_socket;
  std::string m_token;
  int m_port = 0;
};

// The remote part's side: a socket to the host relay when the environment asks for one (the
// entry is removed, so the helper does not inherit it); none when it does not ask, or with *error
// set when the call back failed.
UNIQUE_FD dial_back(std::string* error);
