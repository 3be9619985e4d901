// Client side of the remote capture control protocol. Commands are decimal
// digits, optionally "," and one argument, ended by CR LF; the server answers
// with LF-separated lines and ends every answer with a line whose last four
// characters are "SCS>". Between "AdapterList,Begin"/"AdapterList,End" and
// "AdapterIPList,Begin"/"AdapterIPList,End" come list rows ("IDX=<n>" selects
// row n instead); between "SnifferStat,Begin"/"SnifferStat,End" come status
// lines "MonLive=<v>" and "MonitorPcap.Connected=<v>".
#pragma once

#include <QObject>

#include <memory>
#include <string>
#include <vector>

class QEventLoop;
class QListWidget;
class TWSocket;

// The lists a reply writes to, as plain rows with their selected index (-1:
// none). TargetSel is the target row of the server that sends the reply: a
// status block fills that status row (-1: none).
struct TRemoteLists {
  std::vector<std::string> Adapters;
  int AdapterSel = -1;
  std::vector<std::string> IPs;
  int IPSel = -1;
  std::vector<std::string> Status;
  int TargetSel = -1;
};

// Reads replies. Block state persists across reads; a line cut by a read
// boundary is completed by the next read (a tail that already ends with the
// prompt counts at once, and the LF or CR LF that then begins the next read
// is its line end, not an empty line).
class TReplyParser {
 public:
  bool ReplyReceived = false;
  bool InAdapterListBlock = false;
  bool InAdapterIPListBlock = false;
  bool InSnifferStatBlock = false;
  int SnifferStatRow = -1;
  std::string RemoteMonLive;
  std::string RemoteConnected;

  // Parses the text of one read into Lists; every line also goes to Log as
  // "Rec: " + line.
  void Parse(const std::string& Data, TRemoteLists& Lists, std::vector<std::string>& Log);
  // Forgets the unfinished tail and the blocks (a new connection).
  void Reset();

 private:
  void ParseLine(const std::string& Line, TRemoteLists& Lists, std::vector<std::string>& Log);
  std::string Tail_;
  bool PromptTaken_ = false;  // the last read ended in a prompt without its line end
};

// True when the line's last four characters are the prompt.
bool IsPromptLine(const std::string& Line);

// The control connection with its waits, reading replies into the main
// window's list boxes. Waits run a nested event loop, so other handlers run
// meanwhile.
class TRemoteControl : public QObject {
  Q_OBJECT
 public:
  TRemoteControl(QListWidget* Targets, QListWidget* Adapters, QListWidget* IPs, QListWidget* Status,
                 QObject* Parent = nullptr);
  ~TRemoteControl() override;

  TWSocket* ClientSocket1() const { return Socket_.get(); }
  bool Connected() const;
  // The socket is open or opening (not closed).
  bool Active() const;

  // Seconds to wait for the prompt.
  double ReplyTimeout = 3.0;
  TReplyParser Parser;

  // Sends Text + CR LF in one send; no wait. Without a connection (or when the
  // send finds it gone) nothing is sent: the log says "not connected" with the
  // reason the connection ended, and the result is false.
  bool SendCommand(const std::string& Text);
  // Sends and waits for the prompt; logs "Error timed OUT waiting" once more
  // on a time-out (the wait logs it too). A command that cannot be sent, or
  // whose connection ends during the wait, fails at once with "not connected"
  // in the log. Returns whether the prompt came.
  bool SendCommandAndWait(const std::string& Text);
  // Handles messages until the prompt came, Seconds passed or the wait was
  // cancelled; logs "Error timed OUT waiting" on a time-out.
  bool WaitForReply(double Seconds);
  // Ends a running wait at once (the window is closing).
  void CancelWait();
  bool Waiting() const { return WaitLoop_ != nullptr; }

  // Closes any open connection and connects to Address:Port, the server of
  // target row Row (no wait). False, with the reason in the event log, when
  // the connect could not start.
  bool ConnectTo(const std::string& Address, const std::string& Port, int Row);
  // The target row whose server the connection is to; -1 when not connected.
  int ConnectedRow() const { return Connected() ? Row_ : -1; }
  // Drops the connection at once.
  void Abort();

  // Parses received text into the list boxes (the socket's read handler).
  void HandleReply(const std::string& Data);

 private:
  void ReadLists(TRemoteLists& L) const;
  std::string NotConnected() const;
  void WriteLists(const TRemoteLists& L);

  QListWidget* Targets_;
  QListWidget* Adapters_;
  QListWidget* IPs_;
  QListWidget* Status_;
  std::unique_ptr<TWSocket> Socket_;
  QEventLoop* WaitLoop_ = nullptr;
  bool Cancelled_ = false;
  // The target row of the server connected or being connected to. Replies
  // come only from that server, so its status goes to that row, whichever
  // row is selected.
  int Row_ = -1;
  // Why the last connection ended (empty while none ended since ConnectTo).
  std::string Gone_;
  bool Leaving_ = false;  // the connection is being left on purpose
};
