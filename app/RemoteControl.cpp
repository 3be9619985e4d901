// Remote capture control: the reply parser with its lists and prompt, commands and waits on the
// TCP connection, and the list widgets.
#include "app/RemoteControl.h"

#include <QEventLoop>
#include <QListWidget>
#include <QTimer>

#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"
#include "sockets/WSocket.h"
#include "sockets/WinsockApi.h"

namespace {

// A tail longer than this is taken as a line of its own.
constexpr std::size_t MaxTail = 65536;

const char* const TimedOut = "Error timed OUT waiting";

}  // namespace

bool IsPromptLine(const std::string& Line) { return Line.size() >= 4 && Line.compare(Line.size() - 4, 4, "SCS>") == 0; }

void TReplyParser::Reset() {
  Tail_.clear();
  PromptTaken_ = false;
  InAdapterListBlock = InAdapterIPListBlock = InSnifferStatBlock = false;
  SnifferStatRow = -1;
}

void TReplyParser::Parse(const std::string& Data, TRemoteLists& Lists, std::vector<std::string>& Log) {
  std::string Text = Tail_ + Data;
  Tail_.clear();
  std::size_t Start = 0;
  // The line end of a prompt taken before it came ends no line of its own.
  if (PromptTaken_) {
    PromptTaken_ = false;
    if (Text.compare(0, 1, "\n") == 0)
      Start = 1;
    else if (Text.compare(0, 2, "\r\n") == 0)
      Start = 2;
    else if (Text == "\r") {
      PromptTaken_ = true;  // its LF may come in the next read
      return;
    }
  }
  for (;;) {
    std::size_t At = Text.find('\n', Start);
    if (At == std::string::npos) break;
    ParseLine(Text.substr(Start, At - Start), Lists, Log);
    Start = At + 1;
  }
  std::string Rest = Text.substr(Start);
  if (Rest.empty()) return;
  if (IsPromptLine(Rest) || Rest.size() > MaxTail) {
    ParseLine(Rest, Lists, Log);
    PromptTaken_ = IsPromptLine(Rest);
  } else
    Tail_ = std::move(Rest);
}

void TReplyParser::ParseLine(const std::string& Line, TRemoteLists& L, std::vector<std::string>& Log) {
  TSplitArray Pieces = Split(Line, "=");
  const std::string First = Pieces.empty() ? std::string() : Pieces[0];
  const bool IsIdx = First == "IDX";
  int N = -1;
  if (IsIdx && Pieces.size() >= 2 && !TryStrToInt(Pieces[1], N)) N = -1;
  auto Select = [N](const std::vector<std::string>& Rows, int& Sel) {
    if (N >= 0 && N < int(Rows.size())) Sel = N;
  };

  if (Line == "AdapterIPList,End") InAdapterIPListBlock = false;
  if (Line == "AdapterList,End") InAdapterListBlock = false;
  if (Line == "SnifferStat,End") {
    InSnifferStatBlock = false;
    if (SnifferStatRow >= 0 && SnifferStatRow < int(L.Status.size()))
      L.Status[SnifferStatRow] = RemoteMonLive + ":" + RemoteConnected;
  }

  // Empty lines inside a block are not rows.
  if (InAdapterIPListBlock && !Line.empty()) {
    if (IsIdx)
      Select(L.IPs, L.IPSel);
    else
      L.IPs.push_back(Line);
  }
  if (InAdapterListBlock && !Line.empty()) {
    if (IsIdx)
      Select(L.Adapters, L.AdapterSel);
    else
      L.Adapters.push_back(Line);
  }
  if (InSnifferStatBlock && Pieces.size() >= 2) {
    if (First == "MonLive")
      RemoteMonLive = Pieces[1];
    else if (First == "MonitorPcap.Connected")
      RemoteConnected = Pieces[1];
  }

  if (Line == "AdapterIPList,Begin") {
    L.IPs.clear();
    L.IPSel = -1;
    InAdapterIPListBlock = true;
  }
  if (Line == "AdapterList,Begin") {
    L.Adapters.clear();
    L.AdapterSel = -1;
    InAdapterListBlock = true;
  }
  if (Line == "SnifferStat,Begin") {
    SnifferStatRow = L.TargetSel;
    if (SnifferStatRow >= 0 && SnifferStatRow < int(L.Status.size())) L.Status[SnifferStatRow] = "---";
    InSnifferStatBlock = true;
  }
  if (IsPromptLine(Line)) ReplyReceived = true;
  Log.push_back("Rec: " + Line);
}

TRemoteControl::TRemoteControl(QListWidget* Targets, QListWidget* Adapters, QListWidget* IPs, QListWidget* Status,
                               QObject* Parent)
    : QObject(Parent),
      Targets_(Targets),
      Adapters_(Adapters),
      IPs_(IPs),
      Status_(Status),
      Socket_(std::make_unique<TWSocket>(nullptr)) {
  Socket_->SetName("ClientSocket1");
  Socket_->SetProto("tcp");
  // A connection that fails or ends brings no reply: a wait for one ends at
  // once instead of running out.
  Socket_->OnSessionConnected = [this](TObject*, uint16_t Err) {
    if (Err == 0) {
      LogObjInfo("Remote Connected");
      return;
    }
    LogObjInfo("ClientSocket1 connect error " + SocketErrorText(Err));
    CancelWait();
  };
  Socket_->OnDataAvailable = [this](TObject*, uint16_t) {
    try {
      HandleReply(Socket_->ReceiveAsString());
    } catch (const std::exception& E) {
      LogObjInfo(std::string("ClientSocket1Read ") + E.what());
    }
  };
  // A connection that ends is told: commands after it fail at once with its
  // reason, and the server's status row no longer shows a status it cannot tell.
  // (A connection left on purpose, by "1" or a new target, keeps its row.)
  Socket_->OnSessionClosed = [this](TObject*, uint16_t Err) {
    Gone_ = Err == 0 ? "connection closed" : SocketErrorText(Err);
    if (!Leaving_) {
      LogObjInfo("ClientSocket1 closed: " + Gone_);
      if (Row_ >= 0 && Row_ < Status_->count()) Status_->item(Row_)->setText("---");
    }
    CancelWait();
  };
  Socket_->OnError = [this](TObject*) { LogObjInfo("ClientSocket1 error " + std::to_string(Socket_->LastError())); };
}

TRemoteControl::~TRemoteControl() {
  CancelWait();
  try {
    Socket_->OnDataAvailable = nullptr;
    Socket_->OnSessionConnected = nullptr;
    Socket_->OnSessionClosed = nullptr;
    Socket_->OnError = nullptr;
    Socket_->Abort();
  } catch (...) {
  }
}

bool TRemoteControl::Connected() const { return Socket_->State() == wsConnected; }

bool TRemoteControl::Active() const {
  TSocketState S = Socket_->State();
  return S != wsClosed && S != wsInvalidState;
}

std::string TRemoteControl::NotConnected() const { return Gone_.empty() ? "not connected" : "not connected, " + Gone_; }

bool TRemoteControl::SendCommand(const std::string& Text) {
  // Refused at once without a connection: no reply can come.
  if (!Connected()) {
    LogObjInfo("Error " + Text + " not sent: " + NotConnected());
    return false;
  }
  if (Text == "1") Leaving_ = true;  // the server closes on it
  try {
    if (Socket_->SendText(Text + "\r\n") >= 0) return true;
  } catch (const std::exception& E) {
    LogObjInfo(std::string("SendCommand ") + E.what());
  }
  LogObjInfo("Error " + Text + " not sent: " + NotConnected());
  return false;
}

bool TRemoteControl::SendCommandAndWait(const std::string& Text) {
  Parser.ReplyReceived = false;
  if (!SendCommand(Text)) return false;
  if (WaitForReply(ReplyTimeout)) return true;
  if (!Connected())
    LogObjInfo("Error no reply to " + Text + ": " + NotConnected());
  else if (!Cancelled_)
    LogObjInfo(TimedOut);
  return false;
}

bool TRemoteControl::WaitForReply(double Seconds) {
  if (WaitLoop_) return Parser.ReplyReceived;  // never nest a wait in a wait
  if (Parser.ReplyReceived) return true;
  QEventLoop Loop;
  QTimer Timer;
  Timer.setSingleShot(true);
  QObject::connect(&Timer, &QTimer::timeout, &Loop, &QEventLoop::quit);
  Timer.start(int(Seconds * 1000.0));
  Cancelled_ = false;
  WaitLoop_ = &Loop;
  Loop.exec();
  WaitLoop_ = nullptr;
  if (Parser.ReplyReceived) return true;
  if (!Cancelled_) LogObjInfo(TimedOut);
  return false;
}

void TRemoteControl::CancelWait() {
  if (!WaitLoop_) return;
  Cancelled_ = true;
  WaitLoop_->quit();
}

bool TRemoteControl::ConnectTo(const std::string& Address, const std::string& Port, int Row) {
  try {
    // The address of an open socket cannot change: drop the old connection.
    Leaving_ = true;
    if (Active()) Socket_->Abort();
    Leaving_ = false;
    Parser.Reset();
    Row_ = Row;
    Gone_.clear();
    Socket_->SetAddr(Address);
    Socket_->SetPort(Port);
    Socket_->SetProto("tcp");
    Socket_->Connect();
    return true;
  } catch (const std::exception& E) {
    LogObjInfo(std::string("ClientSocket1 ") + E.what());
    return false;
  }
}

void TRemoteControl::Abort() {
  try {
    Leaving_ = true;
    Socket_->Abort();
  } catch (const std::exception& E) {
    LogObjInfo(std::string("ClientSocket1 ") + E.what());
  }
}

void TRemoteControl::HandleReply(const std::string& Data) {
  TRemoteLists L;
  ReadLists(L);
  std::vector<std::string> Log;
  Parser.Parse(Data, L, Log);
  WriteLists(L);
  for (const std::string& Line : Log) LogObjInfo(Line);
  if (Parser.ReplyReceived && WaitLoop_) WaitLoop_->quit();
}

namespace {

std::vector<std::string> Rows(const QListWidget* W) {
  std::vector<std::string> R;
  for (int i = 0; i < W->count(); ++i) R.push_back(W->item(i)->text().toLatin1().toStdString());
  return R;
}

void SetRows(QListWidget* W, const std::vector<std::string>& R, int Sel) {
  if (W->count() == int(R.size())) {
    // Same rows: texts change in place, so the selection stays.
    for (int i = 0; i < W->count(); ++i)
      if (W->item(i)->text().toLatin1().toStdString() != R[i]) W->item(i)->setText(QString::fromLatin1(R[i]));
  } else {
    W->clear();
    for (const std::string& S : R) W->addItem(QString::fromLatin1(S));
  }
  if (Sel >= 0 && Sel < W->count()) W->setCurrentRow(Sel);
}

}  // namespace

void TRemoteControl::ReadLists(TRemoteLists& L) const {
  L.Adapters = Rows(Adapters_);
  L.AdapterSel = Adapters_->currentRow();
  L.IPs = Rows(IPs_);
  L.IPSel = IPs_->currentRow();
  L.Status = Rows(Status_);
  L.TargetSel = Row_ < Targets_->count() ? Row_ : -1;
}

void TRemoteControl::WriteLists(const TRemoteLists& L) {
  SetRows(Adapters_, L.Adapters, L.AdapterSel);
  SetRows(IPs_, L.IPs, L.IPSel);
  SetRows(Status_, L.Status, -1);
}
