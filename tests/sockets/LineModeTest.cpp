// Tests of sockets in line mode: line ends split across reads, the line limit, switching the mode
// off, sending lines, editing and echo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/WSocket.h"

namespace {

struct LinePair : TcpPair {
  std::vector<std::string> lines;
  bool Open() {
    accepted->SetLineMode(true);
    if (!Connect()) return false;
    accepted->OnDataAvailable = [this](TObject*, uint16_t) {
      std::string s = accepted->ReceiveAsString();
      if (!s.empty()) lines.push_back(s);
    };
    return true;
  }
  // Sends and waits until the bytes are in the line buffer or delivered.
  void Feed(const std::string& s) {
    const size_t before = lines.size();
    const int held = accepted->RcvdCount();
    client->SendText(s);
    PumpUntil([&] { return lines.size() != before || accepted->RcvdCount() != held; }, 5000);
  }
};

}  // namespace

TEST(LineMode, LineEndSplitAcrossReadsAndRestKept) {
  LinePair p;
  ASSERT_TRUE(p.Open());
  p.Feed("ab\r");
  EXPECT_TRUE(p.lines.empty());
  p.Feed("\ncd");
  ASSERT_EQ(p.lines, std::vector<std::string>{"ab\r\n"});
  EXPECT_EQ(p.accepted->RcvdCount(), 2);  // "cd" waits for its line end
  p.Feed("e\r\nf\r\ng\r\n");
  EXPECT_EQ(p.lines, (std::vector<std::string>{"ab\r\n", "cde\r\n", "f\r\n", "g\r\n"}));

  // Another line end, and the rest delivered as the last line when the peer closes.
  p.accepted->SetLineEnd("\n");
  std::vector<int> closed;
  std::vector<std::string> atClose;
  p.accepted->OnSessionClosed = [&](TObject*, uint16_t) { atClose = p.lines; };
  p.Feed("h\nxyz");
  EXPECT_EQ(p.lines.back(), "h\n");
  p.client->Close();
  ASSERT_TRUE(PumpUntil([&] { return !atClose.empty(); }));
  EXPECT_EQ(atClose.back(), "xyz");
}

TEST(LineMode, LineLimitBoundsTheBuffer) {
  LinePair p;
  ASSERT_TRUE(p.Open());
  std::vector<int> exceeded;
  p.accepted->OnLineLimitExceeded = [&](TObject*, int rcvd, bool&) { exceeded.push_back(rcvd); };
  p.client->SendText(std::string(70000, 'a'));
  ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }));
  PumpFor(20);
  EXPECT_EQ(exceeded.front(), 65537);                 // the buffer never holds more than the limit plus one
  EXPECT_LT(p.accepted->RcvdCount(), 65537 - 60000);  // cleared, then the rest
  // A handler may keep the bytes; the buffer then grows only slowly past the limit.
  p.accepted->SetLineLimit(10);
  p.accepted->OnLineLimitExceeded = [&](TObject*, int rcvd, bool& c) {
    exceeded.push_back(rcvd);
    c = false;
  };
  p.Feed("more");
  EXPECT_GT(p.accepted->RcvdCount(), 10);
  p.accepted->OnLineLimitExceeded = nullptr;
  // After clearing, lines work again.
  p.lines.clear();
  p.Feed("\r\nok\r\n");
  EXPECT_EQ(p.lines.back(), "ok\r\n");
}

TEST(LineMode, UnreadLineWaitsAndSwitchingModeOffDeliversRaw) {
  LinePair p;
  ASSERT_TRUE(p.Open());
  int calls = 0;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { ++calls; };  // reads nothing
  p.client->SendText("one\r\ntwo\r\nrest");
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(30);
  EXPECT_EQ(calls, 1);  // offered once, not in a loop
  EXPECT_EQ(p.accepted->PendingByteCount(), 5);
  EXPECT_EQ(p.accepted->ReceiveAsString(), "one\r\n");
  // Leaving line mode hands over the rest as raw bytes from the loop.
  std::string raw;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { raw += p.accepted->ReceiveAsString(); };
  p.accepted->SetLineMode(false);
  ASSERT_TRUE(PumpUntil([&] { return raw.size() == 9; }));
  EXPECT_EQ(raw, "two\r\nrest");
}

TEST(LineMode, NoHandlerDropsLinesAndSendLineAddsTheLineEnd) {
  LinePair p;
  ASSERT_TRUE(p.Open());
  p.accepted->OnDataAvailable = nullptr;
  p.client->SendText("dropped\r\n");
  PumpFor(30);
  EXPECT_EQ(p.accepted->RcvdCount(), 0);
  std::string atClient;
  p.client->OnDataAvailable = [&](TObject*, uint16_t) { atClient += p.client->ReceiveAsString(); };
  p.accepted->SetLineEnd("\n");
  EXPECT_EQ(p.accepted->SendLine("x"), 2);
  EXPECT_EQ(p.accepted->SendLine(""), 0);
  ASSERT_TRUE(PumpUntil([&] { return atClient.size() == 2; }));
  EXPECT_EQ(atClient, "x\n");
}

TEST(LineMode, EditAndEcho) {
  LinePair p;
  ASSERT_TRUE(p.Open());
  p.accepted->SetLineEdit(true);
  p.accepted->SetLineEcho(true);
  std::string echoed;
  p.client->OnDataAvailable = [&](TObject*, uint16_t) { echoed += p.client->ReceiveAsString(); };
  p.client->SendText("ab\bc\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !p.lines.empty() && echoed.size() >= 8; }));
  EXPECT_EQ(p.lines[0], "ac\r\n");
  EXPECT_EQ(echoed, std::string("ab\b \bc\r\n"));
}
