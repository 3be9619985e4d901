// The socket log: time stamps, the log file and options, and writing a log line to its targets.
#include "sockets/SockLogger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

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

std::string ErrorText(int err) { return std::generic_category().message(err); }

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
  FFailureTold = false;  // a failure of the new file is news
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
  if (FLogFd >= 0) {
    ::close(FLogFd);  // also releases the lock
    FLogFd = -1;
  }
  FLineCut = false;
}

// O_APPEND puts every write at the end of the file as it is then, so a line never
// overwrites what another appender wrote after our open. The exclusive lock keeps
// a second logger out: two of them would interleave their lines. Overwrite
// truncates only once the lock is ours, so a refused logger leaves the file alone.
// A device or a pipe (/dev/stderr, /dev/null) keeps no lines to protect: it is
// neither locked, so that loggers of several programs may share it, nor truncated.
// The file is opened write-only (a logger that also read a pipe would take its
// own lines) and never blocks: a pipe without a reader cannot be opened, and a
// line that a pipe or device cannot take at once is lost and reported.
void TSockLogger::OpenLogFile() {
  CloseLogFile();
  if (FLogFileName.empty()) throw ELoggerException("File name empty");
  const int fd = ::open(FLogFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) throw ELoggerException("Cannot open log file " + FLogFileName + ": " + ErrorText(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
    FLogFd = fd;
    return;
  }
  int rc;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) throw ELoggerException("Log file " + FLogFileName + " is in use by another writer");
    throw ELoggerException("Cannot lock log file " + FLogFileName + ": " + ErrorText(err));
  }
  if (FLogFileOption == lfoOverwrite && ::ftruncate(fd, 0) != 0) {
    const int err = errno;
    ::close(fd);
    throw ELoggerException("Cannot truncate log file " + FLogFileName + ": " + ErrorText(err));
  }
  FLogFd = fd;
}

// The whole line goes out in one write() where the system allows; a short write
// is continued. A line that cannot be finished is reported, never dropped in
// silence; if part of it reached the file, the next line first ends that part
// so that it starts on a line of its own.
void TSockLogger::WriteFileLine(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 4);
  if (FLineCut) line += "\r\n";
  line += text;
  line += "\r\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(FLogFd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = n < 0 ? errno : EIO;
    std::string what = "Cannot write log file " + FLogFileName + ": " + ErrorText(err);
    if (done == 0) {
      what += "; line lost";
    } else {
      FLineCut = true;
      what += "; line cut after " + std::to_string(done) + " of " + std::to_string(line.size()) + " bytes";
    }
    throw ELoggerException(what);
  }
  FLineCut = false;
}

void TSockLogger::WriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (ComponentState().Contains(csDestroying)) return;
  try {
    const std::string text = FLogOptions.Contains(loAddStamp) ? TimeStamp() + " " + Msg : Msg;
    if (FLogOptions.Contains(loDestEvent) && FOnSockLogEvent) FOnSockLogEvent(Sender, LogOption, text);
    if (FLogOptions.Contains(loDestOutDebug)) std::fprintf(stderr, "%s\n", text.c_str());
    if (FLogOptions.Contains(loDestFile)) {
      if (FLogFd < 0) OpenLogFile();
      WriteFileLine(text);
    }
  } catch (...) {
    ++FLostLines;
    throw;
  }
  FFailureTold = false;
}

bool TSockLogger::TryWriteLogLine(TObject* Sender, TLogOption LogOption, const std::string& Msg,
                                  std::exception_ptr* Report) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  try {
    WriteLogLine(Sender, LogOption, Msg);
    return true;
  } catch (...) {
    if (Report && !FFailureTold) {
      FFailureTold = true;
      *Report = std::current_exception();
    }
    return false;
  }
}

uint64_t TSockLogger::LostLineCount() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FLostLines;
}
