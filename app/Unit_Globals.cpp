// Shared program helpers: the text splitter, address numbers, delays, computer names, the logs,
// main-thread hand-over and the activity tick.
#include "app/Unit_Globals.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include <sys/stat.h>
#include <ctime>

#include "app/LogLimiter.h"
#include "app/PacketQueue.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "platform/Timing.h"
#include "rtl/SysUtils.h"

TSplitArray Split(const std::string& Text, const std::string& Delimiter) {
  TSplitArray Result;
  if (Delimiter.empty()) {
    if (!Text.empty()) Result.push_back(Text);
    return Result;
  }
  std::size_t Start = 0;
  for (;;) {
    std::size_t At = Text.find(Delimiter, Start);
    if (At == std::string::npos) break;
    Result.push_back(Text.substr(Start, At - Start));
    Start = At + Delimiter.size();
  }
  if (Start < Text.size()) Result.push_back(Text.substr(Start));
  return Result;
}

uint32_t IPToNumber(const std::string& Text) {
  TSplitArray Parts = Split(Text, ".");
  if (Parts.size() < 4) throw ERangeError("Range check error");
  // "192.168.1.5.3" (or "192.168.1.5.") is no address: read as its first
  // four pieces it would be taken for 192.168.1.5, another host.
  if (std::count(Text.begin(), Text.end(), '.') > 3)
    throw ERangeError("'" + ShownText(Text, ' ', MaxQuotedText) + "' is not an address: more than four pieces");
  uint32_t Sum = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string& Part = Parts[i];
    // Decimal digits only: a sign, blanks or a hexadecimal form would name
    // another address than the one meant, and so would an octet over 255.
    uint32_t Octet = 0;
    for (char C : Part) {
      if (C < '0' || C > '9') {
        Octet = UINT32_MAX;
        break;
      }
      if (Octet <= 255) Octet = Octet * 10 + uint32_t(C - '0');
    }
    if (Part.empty() || Octet == UINT32_MAX)  // the piece quoted short: it may be any feed text
      throw EConvertError("'" + ShownText(Part, ' ', MaxQuotedText) + "' is not a valid integer value");
    if (Octet > 255)
      throw ERangeError("'" + ShownText(Part, ' ', MaxQuotedText) + "' is not an address octet (0 to 255)");
    Sum = Sum << 8 | Octet;
  }
  return Sum;
}

std::string DottedAddress(uint32_t Number) {
  return std::to_string(Number >> 24) + "." + std::to_string(Number >> 16 & 255) + "." +
         std::to_string(Number >> 8 & 255) + "." + std::to_string(Number & 255);
}

bool AddressHasLeadingZero(const std::string& Text) {
  auto Digit = [&Text](size_t I) { return I < Text.size() && Text[I] >= '0' && Text[I] <= '9'; };
  for (size_t I = 0; I < Text.size(); ++I)
    if (Text[I] == '0' && (I == 0 || Text[I - 1] == '.') && Digit(I + 1)) return true;
  return false;
}

std::string AddressText(const std::string& Text) {
  if (!AddressHasLeadingZero(Text)) return Text;
  try {
    return DottedAddress(IPToNumber(Text));
  } catch (const std::exception&) {
    return Text;
  }
}

void Delay(float Seconds) {
  int64_t Start = 0, Now = 0, Freq = 1;
  QueryPerformanceCounter(Start);
  QueryPerformanceFrequency(Freq);
  for (;;) {
    QueryPerformanceCounter(Now);
    if (double(Now - Start) / double(Freq) >= Seconds) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(500);
  }
}

std::string ProgramDir() {
  std::string Dir = ProgramFolder();
  while (Dir.size() > 1 && Dir.back() == '/') Dir.pop_back();
  return Dir;
}

std::string ProgramFile(const std::string& FileName) { return ProgramDir() + "/" + FileName; }

void LookupComputerInfo(const std::string& IP, std::string& Mac, std::string& User, std::string& Name) {
  Mac.clear();
  User.clear();
  Name.clear();
  try {
    // One reader is kept (main thread): it reads the file again only when the
    // file has changed, not for every new cube.
    static std::unique_ptr<TIniFile> Ini;
    // The file's name in any case is looked for again only when the program
    // folder changed (its time tells when an entry came, went or was renamed):
    // each new cube asks, and a search lists the folder. A folder changed in
    // the last two seconds may change again within its clock's step, unseen:
    // it is searched every time until then.
    static std::string Wanted, Path;
    static timespec FolderTime{};
    const std::string Want = ProgramFile("IPToComputerName.ini");
    struct stat Folder {};
    timespec Now{};
    const bool Known = stat(ProgramDir().c_str(), &Folder) == 0 && clock_gettime(CLOCK_REALTIME, &Now) == 0;
    if (!Known || Want != Wanted || Folder.st_mtim.tv_sec != FolderTime.tv_sec ||
        Folder.st_mtim.tv_nsec != FolderTime.tv_nsec) {
      Path = FindFileCaseInsensitive(Want);
      const bool Settled = Known && Now.tv_sec - Folder.st_mtim.tv_sec >= 2;
      Wanted = Settled ? Want : std::string();
      FolderTime = Folder.st_mtim;
    }
    // Sections whose address is written with leading zeros ("[010.30.0.1]"),
    // by the address written the one way: read again when the file changed.
    static std::map<std::string, std::string> Respelt;
    static int64_t RespeltStamp[4] = {-1, -1, -1, -1};
    if (!Ini || Ini->FileName() != Path) {
      Ini = std::make_unique<TIniFile>(Path);
      Ini->OnWarning([](const std::string& W) { LogToPktData("LookupComputerInfo IPToComputerName.ini " + W); });
      RespeltStamp[0] = -2;
    }
    struct stat File {};
    int64_t Stamp[4] = {-1, -1, -1, -1};
    if (stat(Path.c_str(), &File) == 0)
      Stamp[0] = int64_t(File.st_ino), Stamp[1] = int64_t(File.st_size), Stamp[2] = File.st_mtim.tv_sec,
      Stamp[3] = File.st_mtim.tv_nsec;
    if (!std::equal(Stamp, Stamp + 4, RespeltStamp)) {
      std::copy(Stamp, Stamp + 4, RespeltStamp);
      Respelt.clear();
      for (const std::string& S : Ini->ReadSections()) {
        const std::string A = AddressText(S);
        if (A == S) continue;
        // The section written the one way comes first, then the first of the others.
        const bool Exact = Ini->SectionExists(A);
        const auto [At, Added] = Respelt.emplace(A, S);
        if (Exact || !Added)
          LogToPktData("LookupComputerInfo IPToComputerName.ini [" + S + "] names the address of [" +
                       (Exact ? A : At->second) + "]; its keys are not read");
      }
    }
    std::string Section = AddressText(IP);
    if (!Ini->SectionExists(Section))
      if (const auto Found = Respelt.find(Section); Found != Respelt.end()) Section = Found->second;
    Mac = Ini->ReadString(Section, "MAC", "");
    User = Ini->ReadString(Section, "USER", "");
    Name = Ini->ReadString(Section, "NAME", "");
  } catch (const std::exception& E) {
    LogToPktData(std::string("LookupComputerInfo ") + E.what());
  }
}

namespace {

QPointer<QPlainTextEdit>& ObjInfoTarget() {
  static QPointer<QPlainTextEdit> Target;
  return Target;
}
QPointer<QPlainTextEdit>& PktDataTarget() {
  static QPointer<QPlainTextEdit> Target;
  return Target;
}
QPointer<QProgressBar>& TickTarget() {
  static QPointer<QProgressBar> Target;
  return Target;
}
// The bar repaints only when its window's next frame asks (PaintPacketTicks).
bool TickPaintPerFrame = false;

// Appends a text that is ShownText already (cut once, where it came in).
void AppendShown(QPlainTextEdit* Memo, const std::string& Shown) {
  if (Memo) Memo->appendPlainText(BytesToQ(Shown));
}

void AppendLine(QPlainTextEdit* Memo, const std::string& Text) {
  if (Memo) Memo->appendPlainText(ShownQ(Text));
}

// VisibleText of Text, ending before the character that would make it longer
// than Limit; Used tells how many bytes of Text it holds.
std::string VisiblePart(const std::string& Text, std::size_t Limit, char Blank, std::size_t& Used) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Result;
  Result.reserve(std::min(Text.size(), Limit));
  for (Used = 0; Used < Text.size(); ++Used) {
    const auto B = static_cast<unsigned char>(Text[Used]);
    const bool Control = (B < 0x20 && B != '\t') || (B >= 0x7F && B <= 0x9F);
    if (Result.size() + (Control ? 4 : 1) > Limit) break;
    if (Control) {
      Result += "\\x";
      Result += Hex[B >> 4];
      Result += Hex[B & 15];
    } else {
      Result += B == ' ' ? Blank : Text[Used];
    }
  }
  return Result;
}

}  // namespace

std::string VisibleText(const std::string& Text) {
  std::size_t Used = 0;
  return VisiblePart(Text, std::string::npos, ' ', Used);
}

std::string ShownText(const std::string& Text, char Blank, std::size_t Limit) {
  std::size_t Used = 0;
  std::string Result = VisiblePart(Text, Limit, Blank, Used);
  if (Used < Text.size()) Result += " ...(cut, " + std::to_string(Text.size() - Used) + " more bytes)";
  return Result;
}

QString BytesToQ(std::string_view Bytes) { return QString::fromLatin1(Bytes.data(), qsizetype(Bytes.size())); }

std::string QToBytes(const QString& Text) { return Text.toLatin1().toStdString(); }

QString ShownQ(const std::string& Text) { return BytesToQ(ShownText(Text)); }

std::vector<std::string> MemoLines(const QPlainTextEdit* Memo) {
  // Block by block: the document's plain text would turn a no-break space
  // (byte 0xA0) into a blank.
  std::vector<std::string> Result;
  const QTextDocument* Doc = Memo->document();
  if (Doc->isEmpty()) return Result;
  for (QTextBlock B = Doc->begin(); B.isValid(); B = B.next()) Result.push_back(QToBytes(B.text()));
  return Result;
}

bool IsMainThread() {
  QCoreApplication* App = QCoreApplication::instance();
  return App && QThread::currentThread() == App->thread();
}

void RunOnMainThread(std::function<void()> Work) {
  QCoreApplication* App = QCoreApplication::instance();
  if (!App) return;
  if (QThread::currentThread() == App->thread()) {
    Work();
    return;
  }
  QMetaObject::invokeMethod(App, std::move(Work), Qt::QueuedConnection);
}

namespace {

QPointer<QAbstractButton>& LogAllTarget() {
  static QPointer<QAbstractButton> Target;
  return Target;
}

// Calls from other threads, and every tick, reach the main thread through one
// bounded hand-over: one queued call per batch, not one per line.
THandOver& HandOver() {
  static THandOver H([] {
    QCoreApplication* App = QCoreApplication::instance();
    return App && QMetaObject::invokeMethod(
                      App, [] { DrainHandOver(); }, Qt::QueuedConnection);
  });
  return H;
}

void NoteDropped(QPlainTextEdit* Memo, int64_t N, const char* What) {
  if (N > 0) AppendLine(Memo, std::to_string(N) + " " + What + " not logged: the main thread fell behind");
}

}  // namespace

void LogObjInfo(const std::string& Text) {
  if (IsMainThread())
    AppendLine(ObjInfoTarget().data(), Text);
  else
    HandOver().Post(THandOver::hoObjInfo, ShownText(Text));
}

void LogToPktData(const std::string& Text) {
  if (IsMainThread())
    AppendLine(PktDataTarget().data(), Text);
  else
    HandOver().Post(THandOver::hoPktData, ShownText(Text));
}

void PacketTick() { HandOver().Tick(); }

void HandOverPacketLine(std::string Line, bool LogIt) {
  HandOver().Post(THandOver::hoPacketLine, std::move(Line), LogIt);
}

namespace {

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::function<int64_t()>& LogClock() {
  static std::function<int64_t()> Clock = SteadyNowNs;
  return Clock;
}

// Failures of the program's own work (a folder that cannot be written) and
// failures of single packet lines; their counts are written to the packet-data
// log when their second is over, by a timer, or at close.
struct TLimitedLog {
  TLogLimiter Limiter;
  bool TimerSet = false;

  explicit TLimitedLog(int PerSecond) : Limiter(PerSecond, [](const std::string& Text) { LogToPktData(Text); }) {}

  void Log(const std::vector<std::string>& Lines, const std::string& Kind) {
    Limiter.Log(Lines, LogClock()(), Kind);
    Schedule(Limiter.Flush(LogClock()()));
  }
  void Schedule(int64_t Due) {
    if (Due == 0 || TimerSet || !QCoreApplication::instance()) return;
    TimerSet = true;
    const int64_t Wait = std::max<int64_t>(Due - LogClock()(), 0);
    QTimer::singleShot(static_cast<int>(Wait / 1000000) + 1, QCoreApplication::instance(), [this] {
      TimerSet = false;
      Schedule(Limiter.Flush(LogClock()()));
    });
  }
};

TLimitedLog& FailureLog() {
  static TLimitedLog Log(1);
  return Log;
}

TLimitedLog& LineErrorLog() {
  static TLimitedLog Log(LineErrorsPerSecond);
  return Log;
}

}  // namespace

void LogFailure(const std::string& Routine, const std::string& Message) {
  RunOnMainThread([Routine, Message] { FailureLog().Log({Routine + " " + Message}, std::string()); });
}

void LogLineError(const std::string& Text) { LogLineError(std::vector<std::string>{Text}); }

void LogLineError(const std::vector<std::string>& Lines, const std::string& Kind) {
  RunOnMainThread([Lines, Kind] { LineErrorLog().Log(Lines, Kind); });
}

void FlushLogCounts() {
  for (TLimitedLog* L : {&FailureLog(), &LineErrorLog()}) L->Limiter.Flush(LogClock()(), true);
}

void ResetLogLimits(std::function<int64_t()> Clock) {
  LogClock() = Clock ? std::move(Clock) : SteadyNowNs;
  for (TLimitedLog* L : {&FailureLog(), &LineErrorLog()}) {
    L->Limiter.Clear();
    L->TimerSet = false;
  }
}

void DrainHandOver() {
  if (!IsMainThread()) return;
  THandOver::TBatch B = HandOver().Take();
  QPlainTextEdit* ObjInfo = ObjInfoTarget().data();
  const QAbstractButton* LogAll = LogAllTarget().data();
  const bool LogAllChecked = LogAll && LogAll->isChecked();
  for (const THandOver::TItem& I : B.Items) {
    switch (I.Kind) {
      case THandOver::hoObjInfo: AppendShown(ObjInfo, I.Text); break;
      case THandOver::hoPktData: AppendShown(PktDataTarget().data(), I.Text); break;
      case THandOver::hoPacketLine:
        if (I.LogIt) AppendLine(ObjInfo, I.Text);
        if (LogAllChecked) AppendLine(ObjInfo, I.Text);
        break;
      case THandOver::hoKinds: break;
    }
  }
  NoteDropped(ObjInfo, B.Dropped[THandOver::hoObjInfo], "event log lines");
  NoteDropped(PktDataTarget().data(), B.Dropped[THandOver::hoPktData], "packet-data log lines");
  NoteDropped(ObjInfo, LogAllChecked ? B.Dropped[THandOver::hoPacketLine] : B.DroppedLogIt, "packet lines");
  if (QProgressBar* Bar = TickTarget().data(); Bar && B.Ticks > 0) {
    // One step per tick, above 100 back to 0. The bar would repaint at once;
    // painting is left to the next pass of the event loop, or to the next
    // frame of the bar's window.
    Bar->setUpdatesEnabled(false);
    Bar->setValue(int((Bar->value() + B.Ticks) % 101));
    if (!TickPaintPerFrame) Bar->setUpdatesEnabled(true);
  }
}

void SetLogAllCheckBox(QAbstractButton* Box) { LogAllTarget() = Box; }

namespace {
// A log shown after lines came in while it was hidden scrolls to its text
// cursor, which appending leaves at the end of the last line: a long last
// line would open the log scrolled to the right, its starts unread. It opens
// at the start of its last line instead, the last lines whole once laid out
// (a horizontal bar takes room from them). A selection of the user's stays.
class TOpenAtLineStart : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* Watched, QEvent* E) override {
    auto* Memo = qobject_cast<QPlainTextEdit*>(Watched);
    if (E->type() != QEvent::Show || !Memo || Memo->textCursor().hasSelection() ||
        Memo->document()->revision() == FShown)
      return false;
    FShown = Memo->document()->revision();
    Memo->setTextCursor(QTextCursor(Memo->document()->lastBlock()));
    QTimer::singleShot(0, Memo, [Memo] { Memo->verticalScrollBar()->setValue(Memo->verticalScrollBar()->maximum()); });
    return false;
  }

 private:
  int FShown = -1;  // the document's revision when last shown
};

void RegisterLog(QPlainTextEdit* Memo, int MaxLines) {
  if (!Memo) return;
  Memo->setMaximumBlockCount(MaxLines);
  if (Memo->findChild<QObject*>("OpenAtLineStart", Qt::FindDirectChildrenOnly)) return;
  auto* Filter = new TOpenAtLineStart(Memo);
  Filter->setObjectName("OpenAtLineStart");
  Memo->installEventFilter(Filter);
}
}  // namespace

void SetObjInfoMemo(QPlainTextEdit* Memo) {
  ObjInfoTarget() = Memo;
  RegisterLog(Memo, ObjInfoMaxLines);
}

void SetPktDataMemo(QPlainTextEdit* Memo) {
  PktDataTarget() = Memo;
  RegisterLog(Memo, PktDataMaxLines);
}

void SetPacketTickBar(QProgressBar* Bar, TTickPaint Paint) {
  if (QProgressBar* Old = TickTarget().data(); Old && Old != Bar) Old->setUpdatesEnabled(true);
  TickTarget() = Bar;
  TickPaintPerFrame = Bar && Paint == TTickPaint::PerFrame;
  if (Bar) Bar->setRange(0, 100);
}

void PaintPacketTicks(std::chrono::steady_clock::time_point Now) {
  static std::chrono::steady_clock::time_point LastPaint;
  QProgressBar* Bar = TickTarget().data();
  if (!Bar || Bar->updatesEnabled()) return;
  if (LastPaint != std::chrono::steady_clock::time_point() && Now >= LastPaint && Now - LastPaint < TickPaintInterval)
    return;
  LastPaint = Now;
  Bar->setUpdatesEnabled(true);
}

void PaintPacketTicks() { PaintPacketTicks(std::chrono::steady_clock::now()); }
