// The socket log: time stamps, the log file and options, and writing a log line to its targets.
#include "sockets/SockLogger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace {

// Local time as "hh:nn:ss:zzz".
std::string TimeStamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d:%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

}  // namespace

TSockLogger::TSockLogger(TComponent* AOwner) : TComponent(AOwner) {}

TSockLogger::~TSockLogger() {
  Destroying();
  std::lock_guard<std::recursive_mutex> g(FLock);
  CloseLogFile();
}

TLogFileOption TSockLogger::LogFileOption() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FLogFileOption;
}

void TSockLogger::SetLogFileOption(TLogFileOption v) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FLogFileOption = v;
}

std::string TSockLogger::LogFileName() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FLogFileName;
}

void TSockLogger::SetLogFileName(const std::string& v) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (v == FLogFileName) return;
  FLogFileName = v;
  CloseLogFile();
}

TLogOptions TSockLogger::LogOptions() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FLogOptions;
}

void TSockLogger::SetLogOptions(TLogOptions v) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FLogOptions = v;
}

void TSockLogger::SetOnSockLogEvent(TSockLogEvent v) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FOnSockLogEvent = std::move(v);
}

void TSockLogger::CloseLogFile() {
  if (FLogFile) {
    std::fclose(FLogFile);
    FLogFile = nullptr;
  }
}

void TSockLogger::OpenLogFile() {
  CloseLogFile();
  if (FLogFileName.empty()) throw ELoggerException("File name empty");
  int fd = ::open(FLogFileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw ELoggerException("Cannot open log file " + FLogFileName);
  if (FLogFileOption == lfoOverwrite) {
    if (::ftruncate(fd, 0) != 0) {
      ::close(fd);
      throw ELoggerException("Cannot truncate log file " + FLogFileName);
    }
  }
  ::lseek(fd, 0, SEEK_END);
  FLogFile = ::fdopen(fd, "r+");
  if (!FLogFile) {
    ::close(fd);
    throw ELoggerException("Cannot open log file " + FLogFileName);
  }
  std::fseek(FLogFile, 0, SEEK_END);
}

void TSockLogger::WriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (ComponentState().Contains(csDestroying)) return;
  const std::string text = FLogOptions.Contains(loAddStamp) ? TimeStamp() + " " + Msg : Msg;
  if (FLogOptions.Contains(loDestEvent) && FOnSockLogEvent) FOnSockLogEvent(Sender, LogOption, text);
  if (FLogOptions.Contains(loDestOutDebug)) std::fprintf(stderr, "%s\n", text.c_str());
  if (FLogOptions.Contains(loDestFile)) {
    if (!FLogFile) OpenLogFile();
    std::fputs(text.c_str(), FLogFile);
    std::fputs("\r\n", FLogFile);
    std::fflush(FLogFile);
  }
}
