// Frames as lines: "~ipcrelay1 T CCCCCCCC BASE64\n", CRC-32 over the type and the base64 text.
#include "pool/frame.h"

#include <glib.h>

#include <boost/crc.hpp>
#include <cstdio>
#include <memory>

#include "pool/io.h"

namespace {

constexpr std::string_view MARKER = "~ipcrelay1 ";
// A line longer than this is not a frame of ours; it is passed on as stray text at once.
constexpr size_t MAX_LINE = 1 << 20;

std::string checksum(char type, std::string_view text) {
  boost::crc_32_type crc;
  crc.process_byte(static_cast<unsigned char>(type));
  crc.process_bytes(text.data(), text.size());
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc.checksum()));
  return hex;
}

bool known_type(char type) { return std::string_view("DHRXKOF").find(type) != std::string::npos; }

// The frame in body (what follows the marker), if it is one intact.
bool parse_body(std::string_view body, FRAME* frame) {
  if (body.size() < 11 || body[1] != ' ' || body[10] != ' ' || !known_type(body[0])) return false;
  std::string_view text = body.substr(11);
  if (checksum(body[0], text) != body.substr(2, 8)) return false;
  std::string encoded(text);
  gsize length = 0;
  std::unique_ptr<guchar, decltype(&g_free)> decoded(g_base64_decode(encoded.c_str(), &length),
                                                     g_free);
  frame->type = static_cast<FRAME_TYPE>(body[0]);
  frame->payload.assign(reinterpret_cast<const char*>(decoded.get()), length);
  return true;
}

}  // namespace

std::string encode_frame(const FRAME& frame) {
  std::unique_ptr<gchar, decltype(&g_free)> encoded(
      g_base64_encode(reinterpret_cast<const guchar*>(frame.payload.data()), frame.payload.size()),
      g_free);
  const char type = static_cast<char>(frame.type);
  return std::string(MARKER) + type + ' ' + checksum(type, encoded.get()) + ' ' + encoded.get() +
         '\n';
}

void FRAME_DECODER::feed(std::string_view bytes) {
  m_pending.append(bytes);
  size_t start = 0;
  for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1)
    take_line(std::string_view(m_pending).substr(start, end - start));
  m_pending.erase(0, start);
  if (m_pending.size() > MAX_LINE) finish();
}

void FRAME_DECODER::finish() {
  if (!m_pending.empty()) m_on_stray(m_pending);
  m_pending.clear();
}

bool FRAME_DECODER::feed_from(int fd) {
  std::string bytes;
  if (read_some(fd, &bytes) > 0) {
    feed(bytes);
    return true;
  }
  finish();
  return false;
}

// A terminal may have turned "\n" into "\r\n"; text before the marker came from another writer.
void FRAME_DECODER::take_line(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t marker = line.rfind(MARKER);
  FRAME frame{};
  if (marker != std::string_view::npos && parse_body(line.substr(marker + MARKER.size()), &frame)) {
    if (marker > 0) m_on_stray(line.substr(0, marker));
    m_on_frame(frame);
  } else if (!line.empty()) {
    m_on_stray(line);
  }
}
