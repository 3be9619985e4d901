// Tests of remote capture control: reply blocks into the lists, prompts and time-outs, and the main
// window's remote target sequences.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QPlainTextEdit>
#include <QPushButton>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "app/RemoteControl.h"
#include "app/Unit1.h"
#include "platform/Paths.h"
#include "app/Unit_Globals.h"

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
// from the script (default: the prompt), or stays silent.
class TFakeServer {
 public:
  std::string Greeting = "Remote capture SCS>\n";
  std::map<std::string, std::string> Replies;
  bool Silent = false;
  bool Refuse = false;  // accepts the connection and closes it at once

  TFakeServer() {
    Listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(Listener_, reinterpret_cast<sockaddr*>(&A), sizeof A);
    listen(Listener_, 4);
    socklen_t Len = sizeof A;
    getsockname(Listener_, reinterpret_cast<sockaddr*>(&A), &Len);
    Port = ntohs(A.sin_port);
  }
  ~TFakeServer() {
    shutdown(Listener_, SHUT_RDWR);
    close(Listener_);
    if (Client_ >= 0) shutdown(Client_, SHUT_RDWR);
    if (Thread_.joinable()) Thread_.join();
    if (Client_ >= 0) close(Client_);
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
    Client_ = accept(Listener_, nullptr, nullptr);
    if (Client_ < 0) return;
    if (Refuse) {
      close(Client_);
      Client_ = -1;
      return;
    }
    if (!Silent) Send(Greeting);
    std::string Buffer;
    char Chunk[512];
    for (;;) {
      ssize_t N = recv(Client_, Chunk, sizeof Chunk, 0);
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
        if (Silent || Command == "1") continue;
        auto R = Replies.find(Command);
        Send(R == Replies.end() ? "SCS>\n" : R->second);
      }
    }
  }
  void Send(const std::string& Text) { send(Client_, Text.data(), Text.size(), MSG_NOSIGNAL); }

  int Listener_ = -1;
  int Client_ = -1;
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
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port)));
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
  ASSERT_TRUE(Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port)));
  EXPECT_FALSE(Remote.WaitForReply(Remote.ReplyTimeout));
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 1);
  ASSERT_TRUE(Remote.Connected());
  EXPECT_FALSE(Remote.SendCommandAndWait("4"));
  EXPECT_EQ(L.LogCount("Error timed OUT waiting"), 3);
  Remote.SendCommand("20,192.168.1.9");
  EXPECT_FALSE(Remote.SendCommandAndWait("21,32000"));
  EXPECT_EQ(Server.Received(), (std::vector<std::string>{"4", "20,192.168.1.9", "21,32000"}));
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
  QTemporaryDir Dir;
  SetProgramFolder(Dir.path().toStdString());
  {
    std::ofstream S(Dir.path().toStdString() + "/Senders.txt");
    S << "127.0.0.1," << DownPort << "\n127.0.0.1," << Refusing.Port << "\n";
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
