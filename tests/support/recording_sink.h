// A message sink for tests: the records delivered, in order, and the texts among them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "host/msg.h"

class RECORDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    if (refuse) throw std::runtime_error("sink refused");
    records.push_back(record);
  }
  // The texts in order; of debug records only the library's own (module IPC).
  std::vector<std::string> texts() const {
    std::vector<std::string> texts;
    for (const MSG_RECORD& record : records)
      if (record.kind != MSG_KIND::DEBUG || record.module == "IPC") texts.push_back(record.text);
    return texts;
  }

  std::vector<MSG_RECORD> records;
  bool refuse = false;  // deliver throws instead
};

// Records the posted messages and the debug texts (the library's at level 2) for its lifetime.
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

  RECORDING_SINK posted, debug;
};

// The texts as one, "; " between them.
inline std::string join_texts(const std::vector<std::string>& texts) {
  std::string text;
  for (size_t i = 0; i < texts.size(); ++i) text += (i == 0 ? "" : "; ") + texts[i];
  return text;
}
