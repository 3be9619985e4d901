// Tests of remote capture control: reply blocks into the lists, prompts and time-outs, and the main
// window's remote target sequences.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QPlainTextEdit>
#include <QPushButton>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "app/RemoteControl.h"
#include "app/Unit1.h"
#include "platform/Paths.h"
#include "app/Unit_Globals.h"
#include "tests/common/Loopback.h"

namespace {

// Parser tests work on plain lists.
struct TParse {
  TReplyParser Parser;
  TRemoteLists Lists;
  std::vector<std::string> Log;
  void operator()(const std::string& Data) { Parser.Parse(Data, Lists, Log); }
};

TEST(RemoteReply, AdapterBlockFillsRowsSelectsIdxAndEndsTheWait) {
  TParse P;
  P.Lists.Adapters = {"old"};
  P("AdapterList,Begin\n0=eth0\n1=wlan0\nIDX=1\nAdapterList,End\nSCS>");
  EXPECT_EQ(P.Lists.Adapters, (std::vector<std::string>{"0=eth0", "1=wlan0"}));
  EXPECT_EQ(P.Lists.AdapterSel, 1);
  EXPECT_TRUE(P.Parser.ReplyReceived);
  EXPECT_FALSE(P.Parser.InAdapterListBlock);
  ASSERT_EQ(P.Log.size(), 6u);
  EXPECT_EQ(P.Log.front(), "Rec: AdapterList,Begin");
  EXPECT_EQ(P.Log.back(), "Rec: SCS>");
}

TEST(RemoteReply, AddressBlockSpansReadsAndALineCutByAReadIsJoined) {
  TParse P;
  P("AdapterIPList,Begin\n192.16");
  EXPECT_TRUE(P.Lists.IPs.empty());
  P("8.1.20\n10.0.0.");
  P("1\nIDX=0\nAdapterIPList,End\nready SCS");
  EXPECT_FALSE(P.Parser.ReplyReceived);
  P(">\n");
  EXPECT_EQ(P.Lists.IPs, (std::vector<std::string>{"192.168.1.20", "10.0.0.1"}));
  EXPECT_EQ(P.Lists.IPSel, 0);
  EXPECT_TRUE(P.Parser.ReplyReceived);
}

TEST(RemoteReply, APromptTakenBeforeItsLineEndLeavesNoEmptyLine) {
  TParse P;
  P("AdapterList,Begin\n0=eth0\nAdapterList,End\nSCS>");
  EXPECT_TRUE(P.Parser.ReplyReceived);
  P("\n");  // the prompt's own line end
  P("ready SCS>");
  P("\r\nAdapterIPList,Begin\n10.0.0.1\nAdapterIPList,End\n");
  P("SCS>");
  P("\r");
  P("\n\n");  // an empty line of its own after the prompt's line end
  EXPECT_EQ(P.Log, (std::vector<std::string>{"Rec: AdapterList,Begin", "Rec: 0=eth0", "Rec: AdapterList,End",
                                             "Rec: SCS>", "Rec: ready SCS>", "Rec: AdapterIPList,Begin",
                                             "Rec: 10.0.0.1", "Rec: AdapterIPList,End", "Rec: SCS>", "Rec: "}));
  EXPECT_EQ(P.Lists.IPs, (std::vector<std::string>{"10.0.0.1"}));
  // A reply that goes on without a line end after its prompt loses nothing.
  P.Log.clear();
  P("SCS>");
  P("AdapterList,Begin\n");
  EXPECT_EQ(P.Log, (std::vector<std::string>{"Rec: SCS>", "Rec: AdapterList,Begin"}));
  EXPECT_TRUE(P.Parser.InAdapterListBlock);
}

TEST(RemoteReply, StatusBlockWritesTheSelectedTargetsRow) {
  TParse P;
  P.Lists.Status = {"---", "1:1", "---"};
  P.Lists.TargetSel = 1;
  P("SnifferStat,Begin\nMonLive=0\nMonitorPcap.Connected=0\nOther=5\nSnifferStat,End\n");
  EXPECT_EQ(P.Lists.Status, (std::vector<std::string>{"---", "0:0", "---"}));
  EXPECT_EQ(P.Parser.RemoteMonLive, "0");
  // Without a selected target the end of the block writes nothing.
  P.Lists.TargetSel = -1;
  P("SnifferStat,Begin\nMonLive=1\nSnifferStat,End\n");
  EXPECT_EQ(P.Lists.Status, (std::vector<std::string>{"---", "0:0", "---"}));
}

TEST(RemoteReply, BadOrForeignLinesChangeNothing) {
  TParse P;
  P("AdapterList,Begin\nIDX=x\nIDX=7\nIDX=-1\n\nIDX\n0=eth0\nAdapterList,End\r\n");
  // A CR before the LF stays part of the line, so the block is still open.
  EXPECT_TRUE(P.Parser.InAdapterListBlock);
  EXPECT_EQ(P.Lists.Adapters, (std::vector<std::string>{"0=eth0", "AdapterList,End\r"}));
  EXPECT_EQ(P.Lists.AdapterSel, -1);
  // Rows outside a block and a prompt earlier in a line are not prompts.
  TParse Q;
  Q("MonLive=1\nSCS> more\nIDX=0\n");
  EXPECT_TRUE(Q.Lists.Adapters.empty());
  EXPECT_EQ(Q.Parser.RemoteMonLive, "");
  EXPECT_FALSE(Q.Parser.ReplyReceived);
  EXPECT_TRUE(IsPromptLine("SCS>"));
  EXPECT_FALSE(IsPromptLine("CS>"));
  EXPECT_FALSE(IsPromptLine("SCS>\r"));
}

// A scripted server on 127.0.0.1: records each command line and answers it
// from the script (default: the prompt), or stays silent. It takes one
// connection at a time, and a new one after the client has left.
class TFakeServer {
 public:
  std::string Greeting = "Remote capture SCS>\n";
  std::map<std::string, std::string> Replies;
  bool Silent = false;
  bool Refuse = false;  // accepts the connection and closes it at once
  std::string DieOn;    // a command that makes it close the connection without an answer (once)
  // A capture that "32" and "30" start and "31" and "33" stop; "12" tells
  // its state as a status block.
  bool Capture = false;
  std::atomic<int> MonLive{0};
  std::atomic<int> PcapConnected{0};

  TFakeServer() {
    Listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A = Loopback(0);
    bind(Listener_, reinterpret_cast<sockaddr*>(&A), sizeof A);
    listen(Listener_, 4);
    socklen_t Len = sizeof A;
    getsockname(Listener_, reinterpret_cast<sockaddr*>(&A), &Len);
    Port = ntohs(A.sin_port);
  }
  ~TFakeServer() {
    Stopping_ = true;
    shutdown(Listener_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> G(Lock_);
      if (Client_ >= 0) shutdown(Client_, SHUT_RDWR);
    }
    if (Thread_.joinable()) Thread_.join();
    close(Listener_);
  }
  void Start() {
    Thread_ = std::thread([this] { Run(); });
  }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> G(Lock_);
    return Received_;
  }
  int Port = 0;

 private:
  void Run() {
    while (!Stopping_) {
      const int C = accept(Listener_, nullptr, nullptr);
      if (C < 0) return;
      if (!Refuse) {
        {
          std::lock_guard<std::mutex> G(Lock_);
          Client_ = C;
        }
        if (!Stopping_) Serve(C);
        std::lock_guard<std::mutex> G(Lock_);
        Client_ = -1;
      }
      close(C);
    }
  }
  void Serve(int C) {
    if (!Silent) Send(C, Greeting);
    std::string Buffer;
    char Chunk[512];
    for (;;) {
      ssize_t N = recv(C, Chunk, sizeof Chunk, 0);
      if (N <= 0) return;
      Buffer.append(Chunk, std::size_t(N));
      std::size_t At;
      while ((At = Buffer.find("\r\n")) != std::string::npos) {
        std::string Command = Buffer.substr(0, At);
        Buffer.erase(0, At + 2);
        {
          std::lock_guard<std::mutex> G(Lock_);
          Received_.push_back(Command);
        }
        if (!DieOn.empty() && Command == DieOn) {
          DieOn.clear();
          return;
        }
        if (Silent || Command == "1") continue;
        if (Capture) {
          if (Command == "30" || Command == "31") MonLive = Command == "30";
          if (Command == "32" || Command == "33") PcapConnected = Command == "32";
          if (Command == "12") {
            Send(C, "SnifferStat,Begin\nMonLive=" + std::to_string(MonLive) +
                        "\nMonitorPcap.Connected=" + std::to_string(PcapConnected) + "\nSnifferStat,End\nSCS>\n");
            continue;
          }
        }
        auto R = Replies.find(Command);
        Send(C, R == Replies.end() ? "SCS>\n" : R->second);
      }
    }
  }
  static void Send(int C, const std::string& Text) { send(C, Text.data(), Text.size(), MSG_NOSIGNAL); }

  int Listener_ = -1;
  int Client_ = -1;
  std::atomic<bool> Stopping_{false};
  std::thread Thread_;
  std::mutex Lock_;
  std::vector<std::string> Received_;
};

// Command "11" answers with two adapters (row 1 selected), "12" with a
// stopped capture's status.
void StartScripted(TFakeServer& Server) {
  Server.Replies["11"] = "AdapterList,Begin\n0=eth0\n1=wlan0\nIDX=1\nAdapterList,End\nSCS>";
  Server.Replies["12"] = "SnifferStat,Begin\nMonLive=0\nMonitorPcap.Connected=0\nSnifferStat,End\nok SCS>\n";
  Server.Start();
}

struct TClientLists {
  QListWidget Targets, Adapters, IPs, Status;
  QPlainTextEdit Log;
  TClientLists() {
    Targets.addItem("local,PC");
    Targets.addItem("127.0.0.1,1");
    Targets.setCurrentRow(1);
    Status.addItem("---");
    Status.addItem("---");
    SetObjInfoMemo(&Log);
  }
  ~TClientLists() { SetObjInfoMemo(nullptr); }
  int LogCount(const QString& Text) const { return Log.toPlainText().split('\n').count(Text); }
};

TEST(RemoteClient, CommandsWaitForThePromptAndRepliesFillTheLists) {
  TFakeServer Server;
  StartScripted(Server);
  TClientLists L;
  TRemoteControl Remote(&L.Targets, &L.Adapters, &L.IPs, &L.Status);
  EXPECT_DOUBLE_EQ(Remote.ReplyTimeout, 3.0);
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port), 1));
  EXPECT_TRUE(Remote.WaitForReply(Remote.ReplyTimeout));
  EXPECT_TRUE(Remote.Connected());
  EXPECT_TRUE(Remote.SendCommandAndWait("10"));
  EXPECT_TRUE(Remote.SendCommandAndWait("11"));
  EXPECT_TRUE(Remote.SendCommandAndWait("12"));
  EXPECT_EQ(Server.Received(), (std::vector<std::string>{"10", "11", "12"}));
  ASSERT_EQ(L.Adapters.count(), 2);
  EXPECT_EQ(L.Adapters.item(1)->text(), "1=wlan0");
  EXPECT_EQ(L.Adapters.currentRow(), 1);
  EXPECT_EQ(L.Status.item(1)->text(), "0:0");
  EXPECT_EQ(L.Status.item(0)->text(), "---");
  EXPECT_EQ(L.LogCount("Remote Connected"), 1);
  EXPECT_EQ(L.LogCount("Rec: ok SCS>"), 1);
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 0);
}

TEST(RemoteClient, SilentServerTimesOutTwiceAndTheNextCommandStillGoes) {
  TFakeServer Server;
  Server.Silent = true;
  Server.Start();
  TClientLists L;
  TRemoteControl Remote(&L.Targets, &L.Adapters, &L.IPs, &L.Status);
  Remote.ReplyTimeout = 0.3;  // the same wait, shortened for the test
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port), 1));
  EXPECT_FALSE(Remote.WaitForReply(Remote.ReplyTimeout));
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 1);
  ASSERT_TRUE(Remote.Connected());
  EXPECT_FALSE(Remote.SendCommandAndWait("4"));
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 3);
  Remote.SendCommand("20,192.168.1.9");
  EXPECT_FALSE(Remote.SendCommandAndWait("21,32000"));
  EXPECT_EQ(Server.Received(), (std::vector<std::string>{"4", "20,192.168.1.9", "21,32000"}));
}

// A server that dies on "11": that command and each one after it fail at once, told as not
// connected (never as a time-out), and the server's status row no longer shows a status; connecting
// again brings it back.
TEST(RemoteClient, CommandsToAServerThatDiedFailAtOnceAndAReconnectServesAgain) {
  TFakeServer Server;
  Server.DieOn = "11";
  StartScripted(Server);
  TClientLists L;
  L.Status.item(1)->setText("0:0");
  TRemoteControl Remote(&L.Targets, &L.Adapters, &L.IPs, &L.Status);
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port), 1));
  ASSERT_TRUE(Remote.WaitForReply(Remote.ReplyTimeout));
  EXPECT_TRUE(Remote.SendCommandAndWait("10"));
  for (const char* Command : {"11", "12", "22,0", "11"}) EXPECT_FALSE(Remote.SendCommandAndWait(Command)) << Command;
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 0);
  EXPECT_EQ(L.LogCount("Error no reply to 11: not connected, connection closed"), 1);
  EXPECT_EQ(L.LogCount("Error 12 not sent: not connected, connection closed"), 1);
  EXPECT_EQ(L.Log.toPlainText().count("not connected"), 4);
  EXPECT_EQ(L.Status.item(1)->text(), "---");
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port), 1));
  ASSERT_TRUE(Remote.WaitForReply(Remote.ReplyTimeout));
  EXPECT_TRUE(Remote.SendCommandAndWait("12"));
  EXPECT_EQ(L.Status.item(1)->text(), "0:0");
  EXPECT_EQ(Server.Received(), (std::vector<std::string>{"10", "11", "12"}));
}

}  // namespace

namespace {

// Target selection, remote start and leaving a connection, driven through the
// main window's lists.
TEST(RemoteMainWindow, ChoosingARemoteTargetAndStartingItSendsTheSequences) {
  TFakeServer Server;
  StartScripted(Server);
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << Server.Port << "\n";
    std::ofstream R(Dir.path().toStdString() + "/Receivers.txt");
    R << "192.168.1.9,32000\n";
  }
  ViewLink() = TViewLink{};
  TForm1 F;
  F.LB_PCsToMonitor->setCurrentRow(1);
  F.LB_PCsToMonitorDblClick();
  EXPECT_EQ(Server.Received(), (std::vector<std::string>{"10", "11", "12"}));
  EXPECT_EQ(F.LBActiveSniffers->item(1)->text(), "0:0");
  EXPECT_EQ(F.AdapterList->currentRow(), 1);

  // Choosing an adapter by double-click tells the server and asks for its list again.
  F.AdapterList->setCurrentRow(0);
  emit F.AdapterList->itemDoubleClicked(F.AdapterList->item(0));
  EXPECT_EQ(F.AdapterIndex, 0);
  EXPECT_EQ(F.AdapterList->currentRow(), 1);  // the server's list selects its row again

  F.LBActiveSniffers->setCurrentRow(1);
  F.LBActiveSniffersDblClick();
  // A row of a running capture stops it; "Remote Settings" asks for the settings.
  F.LBActiveSniffers->item(1)->setText("1:1");
  emit F.LBActiveSniffers->itemDoubleClicked(F.LBActiveSniffers->item(1));
  EXPECT_EQ(F.LBActiveSniffers->item(1)->text(), "0:0");  // as the server tells after "12"
  F.Button1->click();
  F.LB_RemoteSendTos->setCurrentRow(0);
  F.LB_RemoteSendTosDblClick();
  F.LB_PCsToMonitor->setCurrentRow(0);
  F.LB_PCsToMonitorDblClick();
  // The last command is sent without a wait: give the server's thread time to read it.
  const std::vector<std::string> Expected{"10", "11", "12", "22,0", "11", "22,1",           "32",       "30", "4",
                                          "12", "31", "33", "12",   "4",  "20,192.168.1.9", "21,32000", "1"};
  for (int I = 0; I < 500 && Server.Received().size() < Expected.size(); ++I) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Server.Received(), Expected);
  EXPECT_EQ(F.OBJinfo->toPlainText().count("Error timed OUT waiting"), 0);
  SetProgramFolder("");
}

// A server that is down, or one that takes the connection and closes it:
// the sequence stops at once with a clear line, and nothing waits for a reply
// that cannot come.
TEST(RemoteMainWindow, AServerThatIsDownOrRefusesEndsTheSequenceWithoutWaiting) {
  int DownPort = 0;
  {
    TFakeServer Closed;  // its port, free again once it is gone
    DownPort = Closed.Port;
  }
  TFakeServer Refusing;
  Refusing.Refuse = true;
  Refusing.Start();
  TFakeServer Dying;  // closes the connection on the target selection's "12", once
  Dying.Capture = true;
  Dying.DieOn = "12";
  Dying.Start();
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << DownPort << "\n127.0.0.1," << Refusing.Port << "\n127.0.0.1," << Dying.Port << "\n";
  }
  ViewLink() = TViewLink{};
  TForm1 F;
  auto Lines = [&F](const QString& Text) { return F.OBJinfo->toPlainText().split('\n').filter(Text); };

  F.LB_PCsToMonitor->setCurrentRow(1);
  emit F.LB_PCsToMonitor->itemDoubleClicked(F.LB_PCsToMonitor->item(1));
  ASSERT_EQ(Lines("ClientSocket1 connect error").size(), 1);
  EXPECT_TRUE(Lines("ClientSocket1 connect error")[0].contains("refused")) << Lines("connect error")[0].toStdString();
  EXPECT_EQ(Lines("Not Connected to remote").size(), 1);
  EXPECT_FALSE(F.Remote()->Connected());

  F.LB_PCsToMonitor->setCurrentRow(2);
  emit F.LB_PCsToMonitor->itemDoubleClicked(F.LB_PCsToMonitor->item(2));
  EXPECT_EQ(Lines("Not Connected to remote").size(), 2);
  EXPECT_FALSE(F.Remote()->Connected());
  EXPECT_TRUE(Lines("Error timed OUT waiting").isEmpty());
  EXPECT_TRUE(Lines("Rec: ").isEmpty());
  EXPECT_EQ(F.LBActiveSniffers->item(2)->text(), "---");

  // A server that dies under the sequence: its row shows no status and nothing waits; choosing
  // the row again connects anew.
  F.LBActiveSniffers->item(3)->setText("0:0");
  F.LB_PCsToMonitor->setCurrentRow(3);
  emit F.LB_PCsToMonitor->itemDoubleClicked(F.LB_PCsToMonitor->item(3));
  EXPECT_EQ(F.LBActiveSniffers->item(3)->text(), "---");
  EXPECT_EQ(Lines("Error no reply to 12: not connected").size(), 1);
  emit F.LB_PCsToMonitor->itemDoubleClicked(F.LB_PCsToMonitor->item(3));
  EXPECT_EQ(F.LBActiveSniffers->item(3)->text(), "0:0");
  EXPECT_EQ(Dying.Received(), (std::vector<std::string>{"10", "11", "12", "10", "11", "12"}));
  EXPECT_TRUE(Lines("Error timed OUT waiting").isEmpty());
  SetProgramFolder("");
}

TEST(RemoteMainWindow, RemoteCommandsWithoutAConnectionOnlyLog) {
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  TForm1 F;
  F.Button1Click();
  F.LB_RemoteSendTosDblClick();
  EXPECT_FALSE(F.StartRemoteSniffer());
  EXPECT_EQ(F.OBJinfo->toPlainText().count("Not Connected to remote"), 3);
  SetProgramFolder("");
}

}  // namespace

namespace {

// A close during a command's wait ends the wait, skips the rest of the
// sequence and closes once the sequence has returned.
TEST(RemoteMainWindow, CloseDuringAWaitIsDeferredUntilTheSequenceReturns) {
  TFakeServer Server;
  Server.Silent = true;
  Server.Start();
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << Server.Port << "\n";
  }
  TForm1 F;
  F.show();
  bool ClosedSeen = false;
  QObject::connect(&F, &TForm1::Closed, [&ClosedSeen] { ClosedSeen = true; });
  QTimer::singleShot(100, &F, [&F] { F.close(); });
  F.LB_PCsToMonitor->setCurrentRow(1);
  F.LB_PCsToMonitorDblClick();  // would wait 4 x 3 s without the close
  EXPECT_FALSE(ClosedSeen);
  EXPECT_TRUE(F.isVisible());
  QCoreApplication::processEvents();
  EXPECT_TRUE(ClosedSeen);
  EXPECT_FALSE(F.isVisible());
  EXPECT_TRUE(Server.Received().empty());
  EXPECT_TRUE(FileExistsAnyCase(ProgramFile("OBJinfo.txt")));
  SetProgramFolder("");
}

}  // namespace

namespace {

// Two servers, A on target row 1 and B on row 2: a double-click on a status
// row commands the server of that row, connecting to it first, and each
// server's status shows in its own row whichever target row is selected.
TEST(RemoteMainWindow, EachServersRowCommandsThatServerAndShowsItsOwnStatus) {
  TFakeServer A, B;
  for (TFakeServer* S : {&A, &B}) {
    S->Capture = true;
    S->Replies["11"] = "AdapterList,Begin\n0=eth0\n1=wlan0\nIDX=1\nAdapterList,End\nSCS>\n";
    S->Start();
  }
  B.MonLive = 1;  // B captures already
  B.PcapConnected = 1;
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << A.Port << "\n127.0.0.1," << B.Port << "\n";
    std::ofstream R(Dir.path().toStdString() + "/Receivers.txt");
    R << "192.168.1.9,32000\n";
  }
  ViewLink() = TViewLink{};
  TForm1 F;
  auto Choose = [&F](int Row) {
    F.LB_PCsToMonitor->setCurrentRow(Row);
    emit F.LB_PCsToMonitor->itemDoubleClicked(F.LB_PCsToMonitor->item(Row));
  };
  auto DoubleClickStatus = [&F](int Row) {
    F.LBActiveSniffers->setCurrentRow(Row);
    emit F.LBActiveSniffers->itemDoubleClicked(F.LBActiveSniffers->item(Row));
  };
  auto Status = [&F] {
    std::vector<std::string> R;
    for (int i = 0; i < F.LBActiveSniffers->count(); ++i)
      R.push_back(F.LBActiveSniffers->item(i)->text().toStdString());
    return R;
  };
  using TLines = std::vector<std::string>;

  Choose(2);
  Choose(1);
  EXPECT_EQ(Status(), (TLines{"---", "0:0", "1:1"}));
  EXPECT_EQ(F.Remote()->ConnectedRow(), 1);

  // With A connected, B's row stops B; A is only left.
  DoubleClickStatus(2);
  EXPECT_EQ(A.Received(), (TLines{"10", "11", "12", "1"}));
  EXPECT_EQ(B.Received(), (TLines{"10", "11", "12", "1", "10", "11", "12", "31", "33", "12"}));
  EXPECT_EQ(B.MonLive, 0);
  EXPECT_EQ(Status(), (TLines{"---", "0:0", "0:0"}));
  EXPECT_EQ(F.LB_PCsToMonitor->currentRow(), 2);  // the lists show B's rows

  // A's row starts A.
  DoubleClickStatus(1);
  EXPECT_EQ(A.Received(), (TLines{"10", "11", "12", "1", "10", "11", "12", "22,1", "32", "30", "4", "12"}));
  EXPECT_EQ(A.MonLive, 1);
  EXPECT_EQ(Status(), (TLines{"---", "1:1", "0:0"}));

  // B's target row selected by a single click while A is connected: A's
  // status still goes to A's row, and B's row keeps B's.
  F.LB_PCsToMonitor->setCurrentRow(2);
  DoubleClickStatus(1);
  EXPECT_EQ(A.Received().size(), 15u);
  EXPECT_EQ(A.MonLive, 0);
  EXPECT_EQ(Status(), (TLines{"---", "0:0", "0:0"}));
  EXPECT_EQ(B.Received().size(), 11u);  // the last one the "1" A's row sent on leaving B

  // A feed destination goes to the selected target's server (B, still
  // selected), connecting to it first.
  F.LB_RemoteSendTos->setCurrentRow(0);
  emit F.LB_RemoteSendTos->itemDoubleClicked(F.LB_RemoteSendTos->item(0));
  EXPECT_EQ(B.Received(), (TLines{"10", "11", "12", "1", "10", "11", "12", "31", "33", "12", "1", "10", "11", "12",
                                  "20,192.168.1.9", "21,32000"}));
  EXPECT_EQ(A.Received().back(), "1");

  // A double-click on A's row while B's commands are under way is refused
  // with a line; A hears nothing.
  const std::size_t ABefore = A.Received().size();
  QTimer::singleShot(0, &F, [&] { DoubleClickStatus(1); });
  Choose(2);
  EXPECT_EQ(A.Received().size(), ABefore);
  EXPECT_EQ(F.OBJinfo->toPlainText().count("LBActiveSniffersDblClick busy: a remote command is in progress"), 1);
  EXPECT_EQ(Status(), (TLines{"---", "0:0", "0:0"}));
  EXPECT_EQ(F.OBJinfo->toPlainText().count("Error timed OUT waiting"), 0);
  SetProgramFolder("");
}

// A double-click with the mouse, as a person makes it: the press moves the
// row highlight, then the double-click comes.
void DoubleClickRow(QListWidget* List, int Row) {
  const QPoint At = List->visualItemRect(List->item(Row)).center();
  for (QEvent::Type Type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                            QEvent::MouseButtonRelease}) {
    QMouseEvent E(Type, QPointF(At), List->viewport()->mapToGlobal(QPointF(At)), Qt::LeftButton,
                  Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(List->viewport(), &E);
  }
}

// A double-click on another target while a silent server is being asked is
// refused: the highlight stays on the target the lists are about, and they
// show none of the earlier server's rows.
TEST(RemoteMainWindow, ADoubleClickRefusedAsBusyMovesNoHighlight) {
  TFakeServer A, Silent;
  StartScripted(A);
  Silent.Silent = true;
  Silent.Start();
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << A.Port << "\n127.0.0.1," << Silent.Port << "\n";
  }
  ViewLink() = TViewLink{};
  TForm1 F;
  F.Remote()->ReplyTimeout = 0.3;
  F.show();
  DoubleClickRow(F.LB_PCsToMonitor, 1);
  EXPECT_EQ(F.Remote()->ConnectedRow(), 1);
  ASSERT_EQ(F.AdapterList->count(), 2);  // A's adapters
  EXPECT_EQ(F.AdapterList->item(1)->text(), "1=wlan0");

  QTimer::singleShot(900, &F, [&] {  // while the silent server is asked
    DoubleClickRow(F.LB_PCsToMonitor, 1);
    DoubleClickRow(F.AdapterList, 0);
  });
  DoubleClickRow(F.LB_PCsToMonitor, 2);
  EXPECT_EQ(F.OBJinfo->toPlainText().count("LB_PCsToMonitorDblClick busy: a remote command is in progress"), 1);
  EXPECT_EQ(F.OBJinfo->toPlainText().count("AdapterListDblClick busy: a remote command is in progress"), 1);
  EXPECT_EQ(F.Remote()->ConnectedRow(), 2);
  EXPECT_EQ(F.LB_PCsToMonitor->currentRow(), 2);
  EXPECT_EQ(F.AdapterList->count(), 0);  // the silent server told none
  EXPECT_EQ(F.MonIpList->count(), 0);
  EXPECT_EQ(A.Received(), (std::vector<std::string>{"10", "11", "12", "1"}));
  F.close();
  SetProgramFolder("");
}

// A row whose status changed on the server since it was shown: connecting
// shows the new status and sends nothing the old one asked for.
TEST(RemoteMainWindow, AStaleStatusRowOfAnotherServerSendsNoStartOrStop) {
  TFakeServer A, B;
  for (TFakeServer* S : {&A, &B}) {
    S->Capture = true;
    S->Start();
  }
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << A.Port << "\n127.0.0.1," << B.Port << "\n";
  }
  ViewLink() = TViewLink{};
  TForm1 F;
  F.LB_PCsToMonitor->setCurrentRow(2);
  F.LB_PCsToMonitorDblClick();  // B: "0:0"
  F.LB_PCsToMonitor->setCurrentRow(1);
  F.LB_PCsToMonitorDblClick();
  B.MonLive = 1;  // someone else started B meanwhile
  B.PcapConnected = 1;
  F.LBActiveSniffers->setCurrentRow(2);
  F.LBActiveSniffersDblClick();
  EXPECT_EQ(B.Received(), (std::vector<std::string>{"10", "11", "12", "1", "10", "11", "12"}));
  EXPECT_EQ(F.LBActiveSniffers->item(2)->text(), "1:1");
  EXPECT_EQ(F.OBJinfo->toPlainText().count("now reports 1:1 (was 0:0): nothing sent"), 1);
  SetProgramFolder("");
}

}  // namespace
