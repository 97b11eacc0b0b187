// Error records the message service posts as errors or internal errors.
#pragma once

#include <string>

// An opaque error record: the text a failed host operation wants the user to see.
class BRANTOR_ERROR_MESSAGE {
 public:
  explicit BRANTOR_ERROR_MESSAGE(std::string text) : m_text(std::move(text)) {}
  virtual ~BRANTOR_ERROR_MESSAGE() = default;
  const std::string& text() const { return m_text; }

 private:
  std::string m_text;
};
