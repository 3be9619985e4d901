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
  EXPECT_EQ(exceeded.front(), 65537);  // the buffer never holds more than the limit plus one
  EXPECT_EQ(exceeded.size(), 1u);
  EXPECT_LE(p.accepted->RcvdCount(), 1);  // cleared, and the rest of that line is dropped as it comes
  // The over-long line ends with its line end; the line after it is whole.
  p.Feed("aaaa\r\nnext\r\n");
  EXPECT_EQ(p.lines, std::vector<std::string>{"next\r\n"});
  // A handler may keep the bytes; the buffer then grows only slowly past the limit.
  p.accepted->SetLineLimit(10);
  p.accepted->OnLineLimitExceeded = [&](TObject*, int rcvd, bool& c) {
    exceeded.push_back(rcvd);
    c = false;
  };
  p.Feed("more than ten");
  EXPECT_EQ(p.accepted->RcvdCount(), 13);
  EXPECT_EQ(exceeded.back(), 13);
  p.accepted->OnLineLimitExceeded = nullptr;
  p.Feed("\r\nok\r\n");
  EXPECT_EQ(p.lines, (std::vector<std::string>{"next\r\n", "more than ten\r\n", "ok\r\n"}));
}

// LineLimit 1000 and a 1500-byte line between two short ones, in one piece and
// byte by byte: the long line is cleared, none of its tail is delivered.
TEST(LineMode, RestOfALineOverTheLimitIsDroppedUpToItsLineEnd) {
  const std::string text = "first\r\n" + std::string(1500, 'x') + "\r\nnext\r\n";
  for (const bool pieces : {false, true}) {
    SCOPED_TRACE(pieces);
    LinePair p;
    ASSERT_TRUE(p.Open());
    p.accepted->SetLineLimit(1000);
    int exceeded = 0;
    p.accepted->OnLineLimitExceeded = [&](TObject*, int, bool&) { ++exceeded; };
    if (pieces) {
      // The line end of the long line split across two arrivals.
      const size_t cut = text.size() - 7;
      p.client->SendText(text.substr(0, cut));
      ASSERT_TRUE(PumpUntil([&] { return exceeded > 0; }));
      PumpFor(20);
      p.client->SendText(text.substr(cut));
    } else {
      p.client->SendText(text);
    }
    ASSERT_TRUE(PumpUntil([&] { return p.lines.size() >= 2; }));
    PumpFor(20);
    EXPECT_EQ(p.lines, (std::vector<std::string>{"first\r\n", "next\r\n"}));
    EXPECT_EQ(exceeded, 1);
  }
}

// On a datagram socket each datagram stays apart: lines are cut within it, its
// unfinished end is its last line, and the next datagram (another sender's)
// never joins it, even when the lines wait unread.
TEST(LineMode, DatagramsStayApart) {
  auto s = UdpListener("0");
  s->SetLineMode(true);
  std::vector<std::string> lines;
  bool reading = true;
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    if (!reading) return;
    const std::string line = s->ReceiveAsString();
    if (!line.empty()) lines.push_back(line);
  };
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  PlainSocket a(SOCK_DGRAM), b(SOCK_DGRAM);
  a.SendTo(port, "A-partial-no-line-end");
  b.SendTo(port, "B-line-1\r\nB-line-2\r\nB-rest");
  a.SendTo(port, std::string(2000, 'L') + "\r\n");  // longer than 255: still read whole
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 5; }));
  PumpFor(20);
  EXPECT_EQ(lines, (std::vector<std::string>{"A-partial-no-line-end", "B-line-1\r\n", "B-line-2\r\n", "B-rest",
                                             std::string(2000, 'L') + "\r\n"}));
  // Unread lines wait; the ones of later datagrams queue behind them, apart.
  lines.clear();
  reading = false;
  a.SendTo(port, "C1\r\nC2");
  PumpFor(30);
  b.SendTo(port, "D1");
  PumpFor(30);
  EXPECT_EQ(s->PendingByteCount(), 4);  // "C1\r\n" waits
  reading = true;
  std::vector<std::string> rest;
  while (s->PendingByteCount() > 0) rest.push_back(s->ReceiveAsString());
  b.SendTo(port, "E1\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  rest.insert(rest.end(), lines.begin(), lines.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"C1\r\n", "C2", "D1", "E1\r\n"}));
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
