// The main window and the 3D window as the program wires them, closed right
// after a burst of feed lines: the saved packet-data log accounts for every
// line sent, and a sender's failing lines are bounded there, their count
// written before the log is saved.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "Source/Scene/GLCadencer.h"
#include "Source/Viewer/GLQtContext.h"
#include "app/LogLimiter.h"
#include "app/PacketQueue.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit1.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"
#include "ViewHostStub.h"

namespace {

class GL_CloseReport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NoDisplay()) GTEST_SKIP() << "needs a display";
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
    SetProgramFolder(FDir.path().toStdString());
    PacketQueue().CloseReport();  // what earlier tests left in the queue, and its drops
    ResetLogLimits();
    FPort = FreeUdpPort();
    ViewLink() = TViewLink{};
    Link3DView(FPort);
    FSender = ::socket(AF_INET, SOCK_DGRAM, 0);
    FTo = Loopback(FPort);
  }
  void TearDown() override {
    if (FSender >= 0) ::close(FSender);
    ViewLink() = TViewLink{};
    ResetLogLimits();
    SetProgramFolder("");
  }

  // The view of a shown main window, its frames made by hand.
  static TForm2_3D* ShowView(TForm1& main) {
    main.show();
    main.FormActivate();
    auto* view = dynamic_cast<TForm2_3D*>(main.Form2_3DWindow());
    if (view) view->GLCadencer1()->SetEnabled(false);
    return view;
  }

  // Sends `lines` datagrams of one line each; returns how many went out.
  int Send(int lines, const std::string& line) {
    const std::string datagram = line + "\n";
    int sent = 0;
    for (int i = 0; i < lines; ++i)
      if (::sendto(FSender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&FTo), sizeof FTo) > 0)
        ++sent;
    return sent;
  }

  // Runs the event loop until the listener has read all it can take.
  static void ReadAll() {
    int pending = -1;
    for (int still = 0; still < 5;) {
      Pump(20);
      const int now = PacketQueue().QuePending();
      still = now == pending ? still + 1 : 0;
      pending = now;
    }
  }

  std::vector<std::string> SavedLog() const {
    std::vector<std::string> lines;
    std::ifstream in(ProgramFile("PKTdata.txt"));
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
    return lines;
  }

  // The sum of the first number of every saved log line that starts with `text`.
  int64_t Sum(const std::vector<std::string>& log, const std::string& text) const {
    int64_t sum = 0;
    const std::regex number("^(\\d+)");
    for (const std::string& l : log)
      if (l.rfind(text, 0) == 0) {
        std::smatch m;
        const std::string rest = l.substr(text.size());
        if (std::regex_search(rest, m, number)) sum += std::stoll(m[1]);
      }
    return sum;
  }

  QTemporaryDir FDir;
  int FPort = 0;
  int FSender = -1;
  sockaddr_in FTo{};
};

// A burst larger than the feed's receive buffer, sent while the program reads
// nothing (the kernel drops some), then read until the ring is full (it drops
// more), a few frames, more lines while the last drop report holds the next
// one back, and a last burst larger than the buffer again, still waiting at
// the socket when the window closes.
TEST_F(GL_CloseReport, EveryLineSentIsAccountedForInTheSavedLog) {
  const std::string line = Line("10.9.0.1", "255.255.255.255", "0");
  int sent = 0;
  int64_t processed = 0;
  {
    TForm1 main;
    TForm2_3D* view = ShowView(main);
    ASSERT_NE(view, nullptr);
    sent += Send(40000, line);
    ReadAll();
    for (int i = 0; i < 3; ++i) view->GLCadencer1Progress(0.01, 0);
    sent += Send(3000, line);
    ReadAll();
    view->GLCadencer1Progress(0.01, 0);
    sent += Send(40000, line);
    main.close();
    // Every processed line charged the one cube with its length.
    SnifferObject* cube = nullptr;
    for (TGLDummyCube* parent : {view->Traffic().PCs(), view->Traffic().Groups()})
      for (int i = 0; i < parent->Count(); ++i)
        if (auto* c = dynamic_cast<SnifferObject*>(parent->Children(i)); c && c->IP == "10.9.0.1") cube = c;
    ASSERT_NE(cube, nullptr);
    processed = cube->ByteTotal / 100;
  }
  const std::vector<std::string> log = SavedLog();
  const int64_t dropped = Sum(log, "Packet lines dropped, queue full: ");
  const int64_t kernel = Sum(log, "Feed datagrams dropped by the kernel: ");
  const int64_t unread = Sum(log, "Packet lines not processed at close: ");
  std::string shown;
  for (const std::string& l : log) shown += l + "\n";
  EXPECT_EQ(processed + dropped + kernel + unread, sent) << "processed " << processed << "\n" << shown;
  std::printf("[ figures  ] sent %d, processed %lld, dropped %lld, kernel %lld, unread %lld\n", sent,
              static_cast<long long>(processed), static_cast<long long>(dropped), static_cast<long long>(kernel),
              static_cast<long long>(unread));
  // Each kind of loss took place, so each report was needed.
  EXPECT_GT(processed, 0);
  EXPECT_GT(dropped, 0) << shown;
  EXPECT_GT(kernel, 0) << shown;
  EXPECT_GT(unread, 0) << shown;
}

// A sender of one line per datagram without line ends, whose first piece is
// not a line and whose last is unfinished at close: every line is drawn, and
// the saved log tells both pieces and counts them in the totals.
TEST_F(GL_CloseReport, PiecesThatAreNotLinesAreToldAndCountedInTheSavedLog) {
  const std::string line = Line("10.9.0.2", "255.255.255.255", "0");
  const int64_t before = PacketQueue().NotLines();
  int64_t processed = 0;
  {
    TForm1 main;
    TForm2_3D* view = ShowView(main);
    ASSERT_NE(view, nullptr);
    auto send = [this](const std::string& text) {
      ::sendto(FSender, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&FTo), sizeof FTo);
    };
    send("13:05:09:123\tonly\tthree");
    for (int i = 0; i < 100; ++i) send(line);
    send(line.substr(0, line.rfind('\t') + 1));  // the suffix is missing
    ReadAll();
    for (int i = 0; i < 5000 && PacketQueue().QuePending() > 0; ++i) view->GLCadencer1Progress(0.01, 0);
    main.close();
    for (TGLDummyCube* parent : {view->Traffic().PCs(), view->Traffic().Groups()})
      for (int i = 0; i < parent->Count(); ++i)
        if (auto* c = dynamic_cast<SnifferObject*>(parent->Children(i)); c && c->IP == "10.9.0.2")
          processed = c->ByteTotal / 100;
  }
  EXPECT_EQ(processed, 100);
  const std::vector<std::string> log = SavedLog();
  std::string shown;
  for (const std::string& l : log) shown += l + "\n";
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.rfind("Feed piece not 11 fields (", 0) == 0; }),
            2)
      << shown;
  const std::string counted = ", " + std::to_string(before + 2) + " pieces not 11 fields";
  EXPECT_NE(std::find_if(log.begin(), log.end(),
                         [&](const std::string& l) {
                           return l.rfind("Packet lines since start: ", 0) == 0 && l.size() > counted.size() &&
                                  l.compare(l.size() - counted.size(), counted.size(), counted) == 0;
                         }),
            log.end())
      << shown;
}

// One sender's lines whose source address has an octet over 255 fail on every
// line: a few of them are logged, then how many more, and a failure of another
// kind among them is logged as well.
TEST_F(GL_CloseReport, ASendersFailingLinesAreBoundedAndCountedBeforeTheSave) {
  std::ofstream(ProgramFile("SnifferPCsInfo.ini"))
      << "[Default]\nNetType=other\n[Servers]\nIPmin=10.5.0.0\nIPmax=10.5.0.255\nIP=10.5.0.7\nNetType=other\n";
  int64_t now = 5 * TLogLimiter::Second;  // all within one second
  ResetLogLimits([&now] { return now; });
  {
    TForm1 main;
    TForm2_3D* view = ShowView(main);
    ASSERT_NE(view, nullptr);
    for (int i = 0; i < 2000; ++i) {
      QueLoad(Line("10.5.0." + std::to_string(i % 200 + 256), "10.0.0.2", "80"));
      if (i == 1000) {
        std::string length = Line("10.5.0.1", "10.0.0.2", "80");
        QueLoad(length.replace(length.find("\t100\t") + 1, 3, "6x"));
      }
    }
    for (int i = 0; i < 5000 && PacketQueue().QuePending() > 0; ++i) view->GLCadencer1Progress(0.01, 0);
    ASSERT_EQ(PacketQueue().QuePending(), 0);
    const QStringList shown = main.PKTdata->toPlainText().split('\n').filter("QueUnload");
    EXPECT_EQ(shown.size(), LineErrorsPerSecond + 1) << shown.join('\n').toStdString();
    EXPECT_EQ(shown.filter("is not an address octet").size(), LineErrorsPerSecond);
    EXPECT_EQ(shown.filter("QueUnload '6x' is not a valid integer value").size(), 1);
    main.close();
  }
  std::vector<std::string> log = SavedLog();
  int errors = 0;
  for (const std::string& l : log) errors += l.find("is not an address octet") != std::string::npos;
  EXPECT_EQ(errors, LineErrorsPerSecond + 1);
  const std::string last = "QueUnload '455' is not an address octet (0 to 255) (" +
                           std::to_string(2000 - LineErrorsPerSecond) + " more times)";
  EXPECT_NE(std::find(log.begin(), log.end(), last), log.end()) << [&] {
    std::string all;
    for (const std::string& l : log) all += l + "\n";
    return all;
  }();
}

}  // namespace
