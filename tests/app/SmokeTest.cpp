// The main window end to end: frames from another thread are queued, logged and written at close.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTemporaryDir>

#include <cstring>
#include <thread>

#include "app/PacketQueue.h"
#include "app/Settings.h"
#include "app/Unit1.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"

namespace {

TPacketInfo Frame(uint16_t EtherType, uint8_t Protocol) {
  TPacketInfo P;
  P.EtherType = EtherType;
  P.IpProtocol = Protocol;
  P.WireLength = 60;
  P.CaptureTime = 45000.5;
  return P;
}

// The main window shown off screen, fed frames from a capture-like thread.
TEST(SmokeMainWindow, FramesFromAnotherThreadAreQueuedLoggedAndWrittenAtClose) {
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  ViewLink() = TViewLink{};
  QProgressBar Tick;
  SetPacketTickBar(&Tick);
  Tick.setValue(0);
  {
    TForm1 F;
    F.show();
    QCoreApplication::processEvents();
    F.CheckBox1->setChecked(true);
    const int Before = PacketQueue().QuePending();
    std::thread Capture([&F] {
      F.PacketEvent(nullptr, Frame(0x0800, 6));
      F.PacketEvent(nullptr, Frame(0x86DD, 0));
      F.PacketEvent(nullptr, Frame(0x0800, 17));
    });
    Capture.join();
    EXPECT_EQ(PacketQueue().QuePending() - Before, 3);
    EXPECT_FALSE(F.OBJinfo->toPlainText().contains("PROTO_IPV6"));  // nothing logged on the capture thread
    QCoreApplication::processEvents();
    const QString Log = F.OBJinfo->toPlainText();
    EXPECT_EQ(Log.count("\tTCP\tTCP-IP"), 1);
    EXPECT_EQ(Log.count("\tPROTO_IPV6"), 2);  // its own line plus the LogAll line
    EXPECT_EQ(Log.count("\tUDP\tTCP-IP"), 1);
    EXPECT_LT(Log.indexOf("\tTCP\t"), Log.indexOf("PROTO_IPV6"));
    EXPECT_EQ(Tick.value(), 3);
    F.close();
    QCoreApplication::processEvents();
  }
  std::vector<std::string> Events = ReadListFile(ProgramFile("OBJinfo.txt"));
  EXPECT_EQ(std::count_if(Events.begin(), Events.end(),
                          [](const std::string& L) { return L.find("PROTO_IPV6") != std::string::npos; }),
            2);
  EXPECT_TRUE(FileExistsAnyCase(ProgramFile("PKTdata.txt")));
  EXPECT_TRUE(FileExistsAnyCase(ProgramFile("Tamrivel.ini")));
  // Queued hand-overs that arrive after the window is gone are dropped.
  SetPacketTickBar(nullptr);
  SetProgramFolder("");
  while (PacketQueue().QuePending() > 0) {
    std::string Line;
    if (!PacketQueue().Take(Line)) break;
  }
}

}  // namespace
