// What the 3D window's tests share: the main window as the view sees it, a
// packet line, a free UDP port and an event pump.
#pragma once

#include "app/Unit2_3D.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// The main window as the view sees it, with real memo and label widgets.
class TViewHostStub : public TViewHost {
 public:
  QPlainTextEdit Memo, PktData;
  QLabel Bandwidth;
  bool Panel = false;
  std::string BufferText, Cubes, Pipes, Selection;
  bool IgnoreARPChecked() const override { return false; }
  bool IgnoreICMPChecked() const override { return false; }
  bool IgnoreIPChecked() const override { return false; }
  bool IgnoreTimeOutChecked() const override { return false; }
  bool HideBelowThresholdChecked() const override { return false; }
  bool BufferPanelVisible() const override { return Panel; }
  void ShowBufferPanel() override { Panel = true; }
  void SetBufferLabel(const std::string& t) override { BufferText = t; }
  void SetCountCaptions(const std::string& c, const std::string& p, const std::string&) override {
    Cubes = c;
    Pipes = p;
  }
  void SetTotalBandwidthCaption(const std::string&) override {}
  void SetChartPoint(int, double) override {}
  QPlainTextEdit* OBJinfoMemo() override { return &Memo; }
  QLabel* BandwidthLabel() override { return &Bandwidth; }
  void ShowSelection(const std::string&, const std::string&, const std::string&, const std::string& ip,
                     const std::string& second, const std::string& third) override {
    Selection = ip + "|" + second + "|" + third;
  }
};

inline std::string Line(const std::string& src, const std::string& dst, const std::string& dport) {
  return "t\tm1\tm2\t0800\t100\t" + src + "\t1025\t" + dst + "\t" + dport + "\tTCP\tTCP-IP";
}

// 127.0.0.1 at `port` (0: any free port, for bind).
inline sockaddr_in LoopbackTo(int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return to;
}

inline int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = LoopbackTo(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// Drawing needs a real display; the off-screen platform has no GL.
inline bool NoDisplay() { return QGuiApplication::platformName() == "offscreen"; }

inline void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}
