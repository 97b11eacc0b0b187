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
