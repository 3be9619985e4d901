// What the 3D window's tests share: the main window as the view sees it, a
// packet line, a free UDP port and an event pump.
#pragma once

#include "app/Unit2_3D.h"
#include "tests/common/Loopback.h"

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
  std::string BufferText, Cubes, Pipes, Selection, SelectionPlace;
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
  void ShowSelection(const std::string& x, const std::string& y, const std::string& z, const std::string& ip,
                     const std::string& second, const std::string& third) override {
    Selection = ip + "|" + second + "|" + third;
    SelectionPlace = x + " " + y + " " + z;
  }
};

inline std::string Line(const std::string& src, const std::string& dst, const std::string& dport) {
  return "t\tm1\tm2\t0800\t100\t" + src + "\t1025\t" + dst + "\t" + dport + "\tTCP\tTCP-IP";
}

// Drawing needs a real display; the off-screen platform has no GL.
inline bool NoDisplay() { return QGuiApplication::platformName() == "offscreen"; }

inline void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}
