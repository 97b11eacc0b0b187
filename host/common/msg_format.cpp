// Message objects: their formats translated to printf's and their texts formatted and posted.
#include <cctype>
#include <cstdio>
#include <string_view>
#include <utility>

#include "host/common/msg_internal.h"
#include "host/msg.h"

namespace {

constexpr const char* WHOLE_TEXT_FORMAT = "%1!s!";

// "IIPC_COMMAND_INFO": a kind letter, then an upper-case symbolic name.
bool is_kind_and_symbol(std::string_view tail) {
  if (tail.size() < 2) return false;
  for (char c : tail) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!std::isupper(u) && !std::isdigit(u) && c != '_') return false;
  }
  return std::isupper(static_cast<unsigned char>(tail[0])) != 0;
}

// Rewrites the "%N!conv!" conversions as printf's positional "%N$conv"; the rest is unchanged,
// so plain printf formats (debug texts) pass through as they are.
std::string to_positional(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    if (text.compare(i, 2, "%%") == 0) {  // a literal percent, so "%%1!s!" stays text
      out += "%%";
      i += 2;
      continue;
    }
    size_t digits_end = i + 1;
    while (digits_end < text.size() && std::isdigit(static_cast<unsigned char>(text[digits_end])))
      ++digits_end;
    size_t close = std::string::npos;
    if (digits_end > i + 1 && digits_end < text.size() && text[digits_end] == '!')
      close = text.find('!', digits_end + 1);
    if (close == std::string::npos) {  // a plain printf conversion
      out += text[i++];
      continue;
    }
    std::string conversion = text.substr(digits_end + 1, close - digits_end - 1);
    out += text.substr(i, digits_end - i) + "$" + (conversion.empty() ? "s" : conversion);
    i = close + 1;
  }
  return out;
}

}  // namespace

std::string msg_vformat(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  va_list fill;
  va_copy(fill, args);
  std::vsnprintf(&out[0], out.size() + 1, format, fill);
  va_end(fill);
  return out;
}

// --- Message objects ---------------------------------------------------------------------------

MSG_BASE::MSG_BASE(MSG_REPORT* report) : m_report(report) {}

MSG_BASE::~MSG_BASE() = default;

void MSG_BASE::set_id(unsigned id) { m_id = id; }

void MSG_BASE::post() {
  if (msg_suppressed(kind(), m_id)) return;
  // Posted once: the text moves into the record, so an outsized one is not copied again.
  msg_deliver_record(MSG_RECORD{kind(), m_id, std::move(m_text), std::string()}, m_report);
}

void MSG_BASE::fill_args(const char* format, va_list args) {
  // Views, not copies: every relayed plain line comes through here.
  const std::string_view whole = msg_or_empty(format);
  std::string_view text_format = whole;
  m_symbol.clear();
  const size_t slash = whole.rfind('/');
  if (slash != std::string_view::npos && is_kind_and_symbol(whole.substr(slash + 1))) {
    text_format = whole.substr(0, slash);
    m_symbol.assign(whole.substr(slash + 2));
  }
  // Every relayed line comes through this format: taken as it is, not through printf.
  if (text_format == WHOLE_TEXT_FORMAT) {
    const char* text = va_arg(args, const char*);
    m_text = text != nullptr ? text : "(null)";  // as printf shows it
    return;
  }
  m_text = msg_vformat(to_positional(std::string(text_format)).c_str(), args);
}

void MSG_D::set_debug_module(const char* module, MSG_D_LEVEL level) {
  m_module = msg_or_empty(module);
  m_level = level;
}

void MSG_D::post() {
  if (!msg_debug_enabled(m_module.c_str(), m_level)) return;
  msg_deliver_record(MSG_RECORD{MSG_KIND::DEBUG, m_id, m_text, m_module}, m_report);
}

bool MSG_D::set_enabled(const char* module, MSG_D_LEVEL level) {
  set_debug_module(module, level);
  return msg_debug_enabled(m_module.c_str(), m_level);
}
