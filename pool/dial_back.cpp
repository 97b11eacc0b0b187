// The call back of a remote part to its host relay: listen, dial, and check the token.
#include "pool/dial_back.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char VARIABLE[] = "IPC_RELAY_DIAL_BACK";
constexpr int TOKEN_BYTES = 16;
constexpr int CONNECT_TIMEOUT_MS = 5000;
constexpr timeval TOKEN_TIMEOUT = {2, 0};  // a silent caller holds the host relay this long

std::string random_token() {
  unsigned char bytes[TOKEN_BYTES];
  for (size_t have = 0; have < sizeof bytes;) {
    ssize_t count = ::getrandom(bytes + have, sizeof bytes - have, 0);
    if (count < 0 && errno != EINTR) return "";
    if (count > 0) have += static_cast<size_t>(count);
  }
  static const char DIGITS[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) token += {DIGITS[byte >> 4], DIGITS[byte & 15]};
  return token;
}

// Frames are small and each waits for its answer: send every one at once.
bool set_no_delay(int fd) {
  const int on = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// Reads exactly count bytes, or fewer at the end, a failure or the receive timeout.
std::string read_exactly(int fd, size_t count) {
  std::string bytes(count, '\0');
  size_t have = 0;
  while (have < count) {
    ssize_t got = ::read(fd, bytes.data() + have, count - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  bytes.resize(have);
  return bytes;
}

// A non-blocking connect, waited for up to the timeout; the socket is blocking again on success.
UNIQUE_FD connect_to(const addrinfo& address) {
  UNIQUE_FD fd(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                        address.ai_protocol));
  if (!fd) return fd;
  // EINTR leaves the connection going on in the background, like EINPROGRESS.
  if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS &&
      errno != EINTR)
    return UNIQUE_FD();
  pollfd wait{fd.get(), POLLOUT, 0};
  int ready;
  do ready = ::poll(&wait, 1, CONNECT_TIMEOUT_MS);
  while (ready < 0 && errno == EINTR);
  int failure = ready == 0 ? ETIMEDOUT : errno;
  socklen_t size = sizeof failure;
  if (ready > 0 && ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
    failure = errno;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (failure == 0 && (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0))
    failure = errno;
  errno = failure;
  return failure == 0 ? std::move(fd) : UNIQUE_FD();
}

}  // namespace

// One dual-stack IPv6 socket takes callers of both families; a host without IPv6 gets IPv4.
bool DIAL_BACK_LISTENER::open() {
  m_token = random_token();
  if (m_token.empty()) return false;
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_addr = in6addr_any;
  sockaddr_in any4{};
  any4.sin_family = AF_INET;
  any4.sin_addr.s_addr = htonl(INADDR_ANY);
  const int off = 0;
  m_socket.reset(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!m_socket || ::setsockopt(m_socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
      ::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&any6), sizeof any6) != 0) {
    m_socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_socket || ::bind(m_socket.get(), reinterpret_cast<sockaddr*>(&any4), sizeof any4) != 0)
      return m_socket.reset(), false;
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (::listen(m_socket.get(), 4) != 0 ||
      ::getsockname(m_socket.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0)
    return m_socket.reset(), false;
  m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return true;
}

std::string DIAL_BACK_LISTENER::environment() const {
  return std::string(VARIABLE) + "=" + std::to_string(m_port) + ":" + m_token;
}

UNIQUE_FD DIAL_BACK_LISTENER::accept_caller() const {
  int fd;
  do fd = ::accept4(m_socket.get(), nullptr, nullptr, SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  UNIQUE_FD caller(fd);
  if (!caller ||
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &TOKEN_TIMEOUT, sizeof TOKEN_TIMEOUT) != 0 ||
      read_exactly(fd, m_token.size() + 1) != m_token + "\n" || !set_no_delay(fd))
    return UNIQUE_FD();
  return caller;
}

// The host relay runs beside srun, so it is reached where Slurm reaches srun.
UNIQUE_FD dial_back(std::string* error) {
  const char* value = std::getenv(VARIABLE);
  if (value == nullptr) return UNIQUE_FD();
  const std::string text = value;
  ::unsetenv(VARIABLE);
  const size_t colon = text.find(':');
  const char* host = std::getenv("SLURM_SRUN_COMM_HOST");
  if (colon == std::string::npos || host == nullptr) {
    *error = "no address to call the host relay back at";
    return UNIQUE_FD();
  }
  const std::string port = text.substr(0, colon), token = text.substr(colon + 1);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int failure = ::getaddrinfo(host, port.c_str(), &hints, &found); failure != 0) {
    *error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(failure);
    return UNIQUE_FD();
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  int failure = 0;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    UNIQUE_FD fd = connect_to(*address);
    if (fd && set_no_delay(fd.get()) && write_all(fd.get(), token + "\n")) return fd;
    failure = errno;
  }
  *error = std::string("cannot call the host relay back at ") + host + ":" + port + ": " +
           std::strerror(failure);
  return UNIQUE_FD();
}
