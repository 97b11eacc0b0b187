// A message sink for tests: the texts posted, and the library's own debug texts, in order.
#pragma once

#include <string>
#include <vector>

#include "host/msg.h"

class RECORDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    if (record.kind != MSG_KIND::DEBUG || record.module == "IPC") m_texts.push_back(record.text);
  }
  const std::vector<std::string>& texts() const { return m_texts; }

 private:
  std::vector<std::string> m_texts;
};

// For its lifetime, the posted messages and the library's debug texts (level 2) are recorded.
class CAPTURED_MESSAGES {
 public:
  CAPTURED_MESSAGES() {
    msg_set_default_sink(&posted);
    msg_set_debug_sink(&debug);
    msg_set_debug_level("IPC", 2);
  }
  ~CAPTURED_MESSAGES() {
    msg_set_default_sink(nullptr);
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
  }
  CAPTURED_MESSAGES(const CAPTURED_MESSAGES&) = delete;
  CAPTURED_MESSAGES& operator=(const CAPTURED_MESSAGES&) = delete;

  RECORDING_SINK posted;
  RECORDING_SINK debug;
};
