// Diagnostic log of the sockets: lines go to an event, to stderr (the debug
// output) and/or to a file, each optionally prefixed with the time.
//
// Thread safety: sockets of several threads may share one logger; a recursive
// lock serialises every setter and every WriteLogLine, so an event handler may
// log again without deadlock.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

enum TLogOption {
  loDestEvent,
  loDestFile,
  loDestOutDebug,
  loAddStamp,
  loWsockErr,
  loWsockInfo,
  loWsockDump,
  loSslErr,
  loSslInfo,
  loSslDump,
  loProtSpecErr,
  loProtSpecInfo,
  loProtSpecDump
};
using TLogOptions = TSet<TLogOption>;
enum TLogFileOption { lfoAppend, lfoOverwrite };

using TSockLogEvent = std::function<void(TObject* Sender, TLogOption LogOption, const std::string& Msg)>;

RTL_DECLARE_EXCEPTION(ELoggerException, Exception);

class TSockLogger : public TComponent {
  RTL_CLASS(TSockLogger, TComponent)
 public:
  using OwnerType = TComponent;
  explicit TSockLogger(TComponent* AOwner);
  ~TSockLogger() override;

  TLogFileOption LogFileOption();
  void SetLogFileOption(TLogFileOption v);
  std::string LogFileName();
  // A different name (compared exactly) closes the open file; the next line
  // opens the new one.
  void SetLogFileName(const std::string& v);
  TLogOptions LogOptions();
  void SetLogOptions(TLogOptions v);
  void SetOnSockLogEvent(TSockLogEvent v);

  // Writes one line to every destination in LogOptions, in the order event,
  // debug output, file. Raises ELoggerException "File name empty" when the file
  // destination has no name, and ELoggerException with the reason when the file
  // cannot be opened, is locked by another writer, or the line cannot be written
  // whole (that line is lost; the file stays open for the next one).
  //
  // The file is opened for appending and held under an exclusive advisory lock
  // (flock) until it is closed: a second logger on the same file is refused. A
  // device or pipe is neither locked nor truncated, and never waited for: a pipe
  // without a reader, or one that is full, loses the line (raised as above).
  // Each line goes to the end of the file in one piece, so writers that append
  // (O_APPEND) without taking the lock never overwrite the log or are overwritten.
  void WriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg);

  // WriteLogLine for callers that must go on whatever becomes of the line (the
  // sockets): never raises. Returns whether the line reached every destination.
  // A failure (what WriteLogLine would raise, an event handler's exception
  // included) is counted in LostLineCount; with Report given it is handed back
  // there only when it is the first since the logger last wrote a line whole
  // or was given a new file name, so a log that stays broken is told once, not
  // once per line. Without Report nothing is handed back and the next caller
  // that asks is still told.
  bool TryWriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg,
                       std::exception_ptr* Report = nullptr);
  // Lines that did not reach every destination since the logger was created.
  uint64_t LostLineCount();

 private:
  void OpenLogFile();
  void CloseLogFile();
  void WriteFileLine(const std::string& text);

  std::recursive_mutex FLock;
  TLogOptions FLogOptions;
  TSockLogEvent FOnSockLogEvent;
  std::string FLogFileName;
  int FLogFd = -1;
  bool FLineCut = false;      // the last line reached the file only in part
  bool FFailureTold = false;  // a failure was handed back; no line written whole since
  uint64_t FLostLines = 0;
  TLogFileOption FLogFileOption = lfoAppend;
};
