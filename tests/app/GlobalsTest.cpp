// Tests of the shared program helpers: splitting, address numbers, computer names, the logs across
// threads, cut texts, the activity tick and bounded hand-over memory.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextBlock>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <malloc.h>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <cstdio>

#include "app/Unit_Globals.h"
#include "platform/Paths.h"
#include "rtl/SysUtils.h"

namespace {

TEST(GlobalsSplit, KeepsInnerEmptyPiecesAndDropsAnEmptyLastOne) {
  EXPECT_EQ(Split("a,,b,", ","), (TSplitArray{"a", "", "b"}));
  EXPECT_TRUE(Split("", ",").empty());
  EXPECT_EQ(Split("abc", ","), (TSplitArray{"abc"}));
  EXPECT_EQ(Split(",", ","), (TSplitArray{""}));
  EXPECT_EQ(Split(",,x", ","), (TSplitArray{"", "", "x"}));
  // Longer delimiters are matched whole.
  EXPECT_EQ(Split("1::2:3::", "::"), (TSplitArray{"1", "2:3"}));
  EXPECT_EQ(Split("abc", ""), (TSplitArray{"abc"}));
}

TEST(GlobalsIPToNumber, WeighsTheFirstPartMost) {
  EXPECT_EQ(IPToNumber("10.0.0.1"), 10u * 16777216u + 1u);
  EXPECT_EQ(IPToNumber("255.255.255.255"), 4294967295u);
  EXPECT_EQ(IPToNumber("0.0.0.0"), 0u);
}

// An address is written one way: leading zeros go, what IPToNumber refuses stays as given.
TEST(GlobalsIPToNumber, AnAddressIsWrittenOneWay) {
  EXPECT_EQ(AddressText("010.30.0.1"), "10.30.0.1");
  EXPECT_EQ(AddressText("10.030.000.001"), "10.30.0.1");
  EXPECT_EQ(AddressText("00.0.0.0"), "0.0.0.0");
  EXPECT_EQ(AddressText("10.30.0.1"), "10.30.0.1");
  EXPECT_EQ(AddressText("0.0.0.0"), "0.0.0.0");
  EXPECT_EQ(AddressText("010.30.0.300"), "010.30.0.300");
  EXPECT_EQ(AddressText("010.30.0"), "010.30.0");
  EXPECT_EQ(AddressText("host010"), "host010");
  EXPECT_EQ(DottedAddress(IPToNumber("255.255.255.255")), "255.255.255.255");
}

TEST(GlobalsIPToNumber, RefusesMoreThanFourPieces) {
  // Read as its first four pieces, each would be taken for another host.
  for (const char* Text : {"192.168.1.20.99", "192.168.1.5.", "1.2.3.4.5.6", "10.0.0.1..", "1.2.3.4.x"})
    EXPECT_THROW(IPToNumber(Text), ERangeError) << Text;
  try {
    IPToNumber("192.168.1.5.3");
    ADD_FAILURE();
  } catch (const ERangeError& E) {
    EXPECT_EQ(E.Message(), "'192.168.1.5.3' is not an address: more than four pieces");
  }
}

TEST(GlobalsIPToNumber, RejectsShortOversizedAndNonNumericTexts) {
  EXPECT_THROW(IPToNumber("10.0.1"), ERangeError);
  EXPECT_THROW(IPToNumber(""), ERangeError);
  EXPECT_THROW(IPToNumber("256.255.255.255"), ERangeError);
  EXPECT_THROW(IPToNumber("1.2.3.-1"), EConvertError);
  EXPECT_THROW(IPToNumber("1.2.x.4"), EConvertError);
  // A piece of any length is named short in the reason, its NULs shown.
  try {
    IPToNumber("1.2." + std::string(65000, '7') + std::string("\0x", 2) + ".4");
    ADD_FAILURE();
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(),
              "'" + std::string(MaxQuotedText, '7') + " ...(cut, 64902 more bytes)' is not a valid integer value");
  }
  EXPECT_THROW(IPToNumber("255.256.0.0"), ERangeError);
}

TEST(GlobalsIPToNumber, RefusesOctetsOver255AndAnyFormButDecimal) {
  // Each would name another address: 192.168.1.999 is 192.168.4.231 as a sum.
  for (const char* Text : {"192.168.1.999", "192.168.1.256", "10.0.300.1", "1.2.3.0000000000000000000256"})
    EXPECT_THROW(IPToNumber(Text), ERangeError) << Text;
  for (const char* Text : {"10.0.0.0x1F", "10.0.0.$1F", "10.0.0.+1", "10.0.0. 1", "10.0.0.1 ", "10.0..1", "10.0.0.1e2"})
    EXPECT_THROW(IPToNumber(Text), EConvertError) << Text;
  try {
    IPToNumber("192.168.1.999");
    ADD_FAILURE();
  } catch (const ERangeError& E) {
    EXPECT_EQ(E.Message(), "'999' is not an address octet (0 to 255)");
  }
  // Leading zeros are still decimal.
  EXPECT_EQ(IPToNumber("010.000.001.0255"), 0x0A0001FFu);
}

TEST(GlobalsComputerInfo, ReadsTheAddressSectionAndGivesEmptyTextsOtherwise) {
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream F(ProgramFile("IPToComputerName.ini"), std::ios::binary);
    F << "[192.168.1.20]\r\nMAC=00-0C-29-4F-A1-0B\r\nUSER=ann\r\nNAME=desk\r\n[10.0.0.1]\r\nNAME=gw\r\n";
  }
  std::string Mac, User, Name;
  LookupComputerInfo("192.168.1.20", Mac, User, Name);
  EXPECT_EQ(Mac, "00-0C-29-4F-A1-0B");
  EXPECT_EQ(User, "ann");
  EXPECT_EQ(Name, "desk");
  LookupComputerInfo("10.0.0.1", Mac, User, Name);
  EXPECT_EQ(Mac, "");
  EXPECT_EQ(Name, "gw");
  LookupComputerInfo("10.9.9.9", Mac, User, Name);
  EXPECT_EQ(Mac + User + Name, "");
  {
    // A changed list is read again.
    std::ofstream F(Dir.path().toStdString() + "/IPToComputerName.ini", std::ios::binary | std::ios::trunc);
    F << "[10.9.9.9]\r\nUSER=bob\r\n[010.30.0.1]\r\nUSER=alice\r\n[10.030.0.1]\r\nUSER=eve\r\n"
         "[10.0.0.07]\r\nUSER=carl\r\n[10.0.0.7]\r\nUSER=dan\r\n";
  }
  QPlainTextEdit Log;
  SetPktDataMemo(&Log);
  LookupComputerInfo("10.9.9.9", Mac, User, Name);
  EXPECT_EQ(User, "bob");
  // A section of an address with leading zeros names that address; the one
  // written the one way, else the first, is read, the others are told.
  LookupComputerInfo("10.30.0.1", Mac, User, Name);
  EXPECT_EQ(User, "alice");
  LookupComputerInfo("10.0.0.7", Mac, User, Name);
  EXPECT_EQ(User, "dan");
  EXPECT_EQ(Log.toPlainText().toStdString(),
            "LookupComputerInfo IPToComputerName.ini [10.030.0.1] names the address of [010.30.0.1]; its keys are not "
            "read\nLookupComputerInfo IPToComputerName.ini [10.0.0.07] names the address of [10.0.0.7]; its keys are "
            "not read");
  SetPktDataMemo(nullptr);
  SetProgramFolder("");
}

TEST(GlobalsComputerInfo, AListMadeOrRenamedLaterIsFound) {
  QTemporaryDir Dir;
  const std::string Folder = Dir.path().toStdString();
  SetProgramFolder(Folder);
  // A folder last changed long ago: what was (not) found in it may be kept.
  auto settle = [&] {
    const timespec Old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Folder.c_str(), Old, 0), 0);
  };
  settle();
  std::string Mac, User, Name;
  LookupComputerInfo("10.0.0.1", Mac, User, Name);
  LookupComputerInfo("10.0.0.1", Mac, User, Name);
  EXPECT_EQ(User, "");
  std::ofstream(Folder + "/iptocomputername.INI", std::ios::binary) << "[10.0.0.1]\nUSER=ann\n";
  LookupComputerInfo("10.0.0.1", Mac, User, Name);
  EXPECT_EQ(User, "ann");
  settle();
  LookupComputerInfo("10.0.0.1", Mac, User, Name);
  ASSERT_EQ(std::rename((Folder + "/iptocomputername.INI").c_str(), (Folder + "/IPToComputerName.ini").c_str()), 0);
  std::ofstream(Folder + "/IPToComputerName.ini", std::ios::binary | std::ios::app) << "[10.0.0.2]\nUSER=bob\n";
  LookupComputerInfo("10.0.0.2", Mac, User, Name);
  EXPECT_EQ(User, "bob");
  SetProgramFolder("");
}

TEST(GlobalsLogs, BothLogsKeepTheLast20000Lines) {
  static_assert(PktDataMaxLines == 20000 && ObjInfoMaxLines == 20000);
  for (const bool PktData : {true, false}) {
    QPlainTextEdit Memo;
    PktData ? SetPktDataMemo(&Memo) : SetObjInfoMemo(&Memo);
    for (int i = 1; i <= 20001; ++i) (PktData ? LogToPktData : LogObjInfo)("line " + std::to_string(i));
    EXPECT_EQ(Memo.document()->blockCount(), 20000);
    EXPECT_EQ(Memo.document()->firstBlock().text(), "line 2");
    EXPECT_EQ(Memo.document()->lastBlock().text(), "line 20001");
    PktData ? SetPktDataMemo(nullptr) : SetObjInfoMemo(nullptr);
  }
}

TEST(GlobalsLogs, CallsFromOtherThreadsArriveInOrderOnTheMainThread) {
  QPlainTextEdit Memo;
  SetObjInfoMemo(&Memo);
  std::thread Worker([] {
    for (int i = 0; i < 50; ++i) LogObjInfo("t" + std::to_string(i));
  });
  Worker.join();
  EXPECT_TRUE(Memo.toPlainText().isEmpty());  // nothing touched the memo off the main thread
  QCoreApplication::processEvents();
  QStringList Lines = Memo.toPlainText().split('\n');
  ASSERT_EQ(Lines.size(), 50);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Lines[i], QString("t%1").arg(i));
  SetObjInfoMemo(nullptr);
}

// Failing lines told from a worker thread (a feed or capture thread) are bounded like those of the
// main thread: a few reach the log, then how many more, all in the main thread.
TEST(GlobalsLogs, FailingLinesFromAnotherThreadAreBoundedLikeTheMainThreads) {
  QPlainTextEdit Memo;
  SetPktDataMemo(&Memo);
  const int64_t Now = 9'000'000'000;  // every line within one second
  ResetLogLimits([Now] { return Now; });
  std::thread([] {
    for (int i = 0; i < 50; ++i) LogLineError("QueUnload '" + std::to_string(i) + "' is not a valid integer value");
  }).join();
  EXPECT_TRUE(Memo.toPlainText().isEmpty());  // nothing touched the memo off the main thread
  QCoreApplication::processEvents();
  DrainHandOver();
  FlushLogCounts();
  const QStringList Told = Memo.toPlainText().split('\n').filter("is not a valid integer value");
  ASSERT_EQ(Told.size(), LineErrorsPerSecond + 1) << Told.join('\n').toStdString();
  EXPECT_EQ(Told.front().toStdString(), "QueUnload '0' is not a valid integer value");
  EXPECT_EQ(Told.back().toStdString(), "QueUnload '49' is not a valid integer value (" +
                                           std::to_string(50 - LineErrorsPerSecond) + " more times)");
  ResetLogLimits();
  SetPktDataMemo(nullptr);
}

TEST(GlobalsLogs, ARepeatedFailureIsLoggedOnceThenCounted) {
  QPlainTextEdit Memo;
  SetPktDataMemo(&Memo);
  for (const char* Name : {"a", "b", "c"})
    LogFailure("GetOrCreateCube", std::string("Cannot create file \"/ro/Images/") + Name + ".bmp\". Permission denied");
  LogFailure("GetOrCreateCube", "Out of memory");
  ASSERT_EQ(Memo.document()->blockCount(), 2);
  QElapsedTimer Wait;
  Wait.start();
  while (Memo.document()->blockCount() < 3 && Wait.elapsed() < 5000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(Memo.document()->lastBlock().text(),
            "GetOrCreateCube Cannot create file \"/ro/Images/c.bmp\". Permission denied (2 more times)");
  SetPktDataMemo(nullptr);
}

TEST(GlobalsLogs, TargetsThatAreGoneAreNotTouched) {
  // The widgets live in storage of the test's own, filled with a pattern once
  // they are destroyed: a log or tick that reached them would change it (or
  // crash on what is no widget any more).
  alignas(QPlainTextEdit) static unsigned char MemoPlace[sizeof(QPlainTextEdit)];
  alignas(QProgressBar) static unsigned char BarPlace[sizeof(QProgressBar)];
  auto* Memo = new (MemoPlace) QPlainTextEdit;
  auto* Bar = new (BarPlace) QProgressBar;
  SetObjInfoMemo(Memo);
  SetPktDataMemo(Memo);
  SetPacketTickBar(Bar);
  std::thread([] {
    LogObjInfo("handed over before");
    PacketTick();
  }).join();
  Memo->~QPlainTextEdit();
  Bar->~QProgressBar();
  std::memset(MemoPlace, 0xA5, sizeof MemoPlace);
  std::memset(BarPlace, 0xA5, sizeof BarPlace);
  LogObjInfo("after");
  LogToPktData("after");
  PacketTick();
  QCoreApplication::processEvents();
  DrainHandOver();
  const auto Untouched = [](const unsigned char* P, std::size_t N) {
    return std::all_of(P, P + N, [](unsigned char B) { return B == 0xA5; });
  };
  EXPECT_TRUE(Untouched(MemoPlace, sizeof MemoPlace));
  EXPECT_TRUE(Untouched(BarPlace, sizeof BarPlace));
}

TEST(GlobalsLogs, LongTextsAreCutWithAMarkOnEveryThread) {
  QPlainTextEdit Memo;
  SetPktDataMemo(&Memo);
  const std::string Field(65536, '9');
  LogToPktData("QueUnload '" + Field + "'");
  std::thread([&Field] { LogToPktData(Field); }).join();
  QCoreApplication::processEvents();
  ASSERT_EQ(Memo.document()->blockCount(), 2);
  EXPECT_EQ(Memo.document()->firstBlock().text().toStdString(),
            "QueUnload '" + std::string(MaxShownText - 11, '9') + " ...(cut, 65148 more bytes)");
  EXPECT_EQ(Memo.document()->lastBlock().text().toStdString(),
            std::string(MaxShownText, '9') + " ...(cut, 65136 more bytes)");
  // Control characters count as shown; short texts are not cut.
  std::string Nuls;
  for (std::size_t i = 0; i < MaxShownText / 4; ++i) Nuls += "\\x00";
  EXPECT_EQ(ShownText(std::string(MaxShownText / 4, '\0')), Nuls);
  EXPECT_EQ(ShownText(std::string(MaxShownText / 4 + 1, '\0')), Nuls + " ...(cut, 1 more bytes)");
  EXPECT_EQ(ShownText(std::string(MaxShownText, 'x')), std::string(MaxShownText, 'x'));
  SetPktDataMemo(nullptr);
}

// Counts the paint events a widget receives.
struct TPaintCounter : QObject {
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* E) override {
    if (E->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

TEST(GlobalsTick, ActivityBarCountsToOneHundredAndWrapsPaintingOncePerPass) {
  QProgressBar Bar;
  SetPacketTickBar(&Bar);
  Bar.setValue(0);
  Bar.show();
  QCoreApplication::processEvents();
  TPaintCounter Counter;
  Bar.installEventFilter(&Counter);
  for (int i = 0; i < 100; ++i) PacketTick();
  DrainHandOver();
  EXPECT_EQ(Bar.value(), 100);
  EXPECT_EQ(Counter.Paints, 0);  // a tick per datagram must not repaint each time
  Bar.removeEventFilter(&Counter);
  PacketTick();
  DrainHandOver();
  EXPECT_EQ(Bar.value(), 0);
  std::thread([] { PacketTick(); }).join();
  QCoreApplication::processEvents();
  EXPECT_EQ(Bar.value(), 1);
  SetPacketTickBar(nullptr);
}

TEST(GlobalsTick, ABarPaintedPerFrameRepaintsOnlyWhenTheFrameAsks) {
  QProgressBar Bar;
  SetPacketTickBar(&Bar, TTickPaint::PerFrame);
  Bar.setValue(0);
  Bar.show();
  QElapsedTimer T;
  T.start();
  while (!Bar.isVisible() && T.elapsed() < 2000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  QCoreApplication::processEvents();
  TPaintCounter Counter;
  Bar.installEventFilter(&Counter);
  for (int Pass = 0; Pass < 5; ++Pass) {
    for (int i = 0; i < 10; ++i) PacketTick();
    DrainHandOver();
    QCoreApplication::processEvents();
  }
  EXPECT_EQ(Bar.value(), 50);  // the ticks count at once
  EXPECT_EQ(Counter.Paints, 0);
  const auto At = std::chrono::steady_clock::now() + std::chrono::hours(1);  // after any earlier paint
  PaintPacketTicks(At);
  T.restart();
  while (Counter.Paints == 0 && T.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(Counter.Paints, 1);
  // A fast view's next frames within the interval leave the bar alone; the
  // first one after it repaints.
  PacketTick();
  DrainHandOver();
  PaintPacketTicks(At + TickPaintInterval / 2);
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(Counter.Paints, 1);
  PaintPacketTicks(At + TickPaintInterval);
  T.restart();
  while (Counter.Paints == 1 && T.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(Counter.Paints, 2);
  EXPECT_EQ(Bar.value(), 51);
  Bar.removeEventFilter(&Counter);
  // Handing the tick to another bar leaves this one painting normally.
  PacketTick();
  DrainHandOver();
  EXPECT_FALSE(Bar.updatesEnabled());
  SetPacketTickBar(nullptr);
  EXPECT_TRUE(Bar.updatesEnabled());
}

TEST(GlobalsLogs, AProducerAtFullSpeedAgainstAStalledMainThreadHoldsBoundedMemory) {
  DrainHandOver();  // nothing left from before
  QPlainTextEdit Memo;
  QProgressBar Bar;
  SetObjInfoMemo(&Memo);
  SetPacketTickBar(&Bar);
  Bar.setValue(0);
  constexpr int N = 300000;
  const long long Before = (long long)mallinfo2().uordblks;
  std::thread([] {
    const std::string Line(120, 'x');
    for (int i = 0; i < N; ++i) {
      LogObjInfo(Line);
      PacketTick();
    }
  }).join();
  // Queued one call each, these would hold far more than 50 MB.
  EXPECT_LT((long long)mallinfo2().uordblks - Before, 12LL << 20);
  QCoreApplication::processEvents();
  EXPECT_EQ(Bar.value(), N % 101);
  EXPECT_LT(Memo.document()->blockCount(), N);
  EXPECT_TRUE(Memo.document()->lastBlock().text().endsWith("event log lines not logged: the main thread fell behind"));
  SetObjInfoMemo(nullptr);
  SetPacketTickBar(nullptr);
}

}  // namespace
