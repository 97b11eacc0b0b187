// The framed stream, the order book and the line cutting of the pool relays: what comes out of
// given bytes.
#include "pool/frame.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "pool/orders.h"
#include "pool/relay_lines.h"

namespace {

std::string frame(char type, const std::string& payload) {
  return encode_frame({static_cast<FRAME_TYPE>(type), payload});
}

struct STREAM_ROW {
  const char* name;
  std::string bytes;
  size_t chunk = 0;  // fed in pieces of this size; 0: at once
  std::vector<std::string> frames;
  std::vector<std::string> stray;
};

TEST(Frames, DecodeWhatEachStreamHolds) {
  const std::string data = frame('D', "Helper 1 is done"), beat = frame('H', "");
  std::string broken = data;
  broken[broken.size() - 3] ^= 1;
  const std::vector<STREAM_ROW> rows = {
      {.name = "whole", .bytes = data, .frames = {"D:Helper 1 is done"}},
      {.name = "byte by byte",
       .bytes = data + beat,
       .chunk = 1,
       .frames = {"D:Helper 1 is done", "H:"}},
      {.name = "any bytes",
       .bytes = frame('O', std::string("a\0\n\r\xff", 5)),
       .frames = {"O:" + std::string("a\0\n\r\xff", 5)}},
      {.name = "stderr merged before a frame",
       .bytes = "srun: warning" + beat,
       .frames = {"H:"},
       .stray = {"srun: warning"}},
      {.name = "terminal line ends",
       .bytes = data.substr(0, data.size() - 1) + "\r\n",
       .frames = {"D:Helper 1 is done"}},
      {.name = "corrupted frame",
       .bytes = broken + beat,
       .frames = {"H:"},
       .stray = {broken.substr(0, broken.size() - 1)}},
      {.name = "lines between frames",
       .bytes = beat + "Welcome\n\n" + beat,
       .frames = {"H:", "H:"},
       .stray = {"Welcome"}},
      {.name = "cut off at the end", .bytes = data.substr(0, 20), .stray = {data.substr(0, 20)}},
  };
  for (const STREAM_ROW& row : rows) {
    std::vector<std::string> frames, stray;
    FRAME_DECODER decoder(
        [&](const FRAME& f) { frames.push_back(static_cast<char>(f.type) + (":" + f.payload)); },
        [&](std::string_view text) { stray.emplace_back(text); });
    const size_t chunk = row.chunk == 0 ? row.bytes.size() : row.chunk;
    for (size_t at = 0; at < row.bytes.size(); at += chunk)
      decoder.feed(row.bytes.substr(at, chunk));
    decoder.finish();
    EXPECT_EQ(frames, row.frames) << row.name;
    EXPECT_EQ(stray, row.stray) << row.name;
  }
}

struct CUT_ROW {
  const char* name;
  std::string bytes;
  size_t chunk;
  std::vector<size_t> lengths;  // of the lines taken, the last one's at the end included
};

// A helper's output is cut into lines by its relay, which marks each; the host cuts the relay's
// output again and must find the same lines.
TEST(LineCutter, CutsWhereverChunksEndAndRelayedPiecesStayWhole) {
  const std::string longest(RELAY_LINE_LIMIT, 'x');
  const std::vector<CUT_ROW> rows = {
      {.name = "lines across chunks", .bytes = "ab\ncd\n\nef", .chunk = 3, .lengths = {2, 2, 0, 2}},
      {.name = "exactly the limit",
       .bytes = longest + "\n",
       .chunk = 5000,
       .lengths = {RELAY_LINE_LIMIT}},
      {.name = "beyond the limit",
       .bytes = longest + "yz\n",
       .chunk = 70000,
       .lengths = {RELAY_LINE_LIMIT, 2}},
  };
  for (const CUT_ROW& row : rows) {
    std::vector<size_t> relayed, hosted;
    LINE_CUTTER relay(RELAY_LINE_LIMIT), host(RELAY_MARKED_LINE_LIMIT);
    const auto on_host = [&](std::string_view line) {
      ASSERT_EQ(line.substr(0, RELAY_OUTPUT_MARK.size()), RELAY_OUTPUT_MARK) << row.name;
      hosted.push_back(line.size() - RELAY_OUTPUT_MARK.size());
    };
    const auto on_relay = [&](std::string_view line) {
      relayed.push_back(line.size());
      host.add(relay_output_line(line), on_host);
    };
    for (size_t at = 0; at < row.bytes.size(); at += row.chunk)
      relay.add(std::string_view(row.bytes).substr(at, row.chunk), on_relay);
    relay.finish(on_relay);
    EXPECT_EQ(relayed, row.lengths) << row.name;
    EXPECT_EQ(hosted, row.lengths) << row.name;
  }
}

struct BOOK_ROW {
  const char* name;
  std::vector<std::string> orders, reports;  // fed in this order, orders first
  std::vector<std::string> passed;           // reports handed to the dispatcher
  std::string replay;
};

TEST(OrderBook, PassesOnlyReportsForTheHeldPartition) {
  const std::vector<BOOK_ROW> rows = {
      {.name = "split order",
       .orders = {"Partition 1", "2 is ready"},
       .replay = "Partition 12 is ready"},
      {.name = "order and notice glued",
       .orders = {"Partition 4 is readyFinished all partitions"},
       .replay = "Partition 4 is readyFinished all partitions"},
      {.name = "report answers the order",
       .orders = {"Partition 4 is ready"},
       .reports = {"Helper 2 is", " done"},
       .passed = {"Helper 2 is done"}},
      {.name = "late duplicate dropped",
       .orders = {"Partition 4 is ready"},
       .reports = {"Helper 2 is doneHelper 2 is done"},
       .passed = {"Helper 2 is done"}},
  };
  for (const BOOK_ROW& row : rows) {
    ORDER_BOOK book;
    std::vector<std::string> passed;
    for (const std::string& bytes : row.orders) book.take_orders(bytes);
    for (const std::string& bytes : row.reports)
      for (const std::string& report : book.take_reports(bytes)) passed.push_back(report);
    EXPECT_EQ(passed, row.passed) << row.name;
    EXPECT_EQ(book.replay(), row.replay) << row.name;
  }
}

}  // namespace
