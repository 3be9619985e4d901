// Diagnostic log of the sockets: lines go to an event, to stderr (the debug
// output) and/or to a file, each optionally prefixed with the time.
//
// Thread safety: sockets of several threads may share one logger; a recursive
// lock serialises every setter and every WriteLogLine, so an event handler may
// log again without deadlock.
#pragma once

#include <cstdio>
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
  // destination has no name.
  void WriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg);

 private:
  void OpenLogFile();
  void CloseLogFile();

  std::recursive_mutex FLock;
  TLogOptions FLogOptions;
  TSockLogEvent FOnSockLogEvent;
  std::string FLogFileName;
  std::FILE* FLogFile = nullptr;
  TLogFileOption FLogFileOption = lfoAppend;
};
