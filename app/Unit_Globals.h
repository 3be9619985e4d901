// Small helpers shared by every unit of the program: the text splitter that all
// line and reply parsing rests on, dotted-address numbers, a message-pumping
// delay, the per-address computer names, and the two logs and the activity
// tick that every routine reports to.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QAbstractButton;
class QPlainTextEdit;
class QProgressBar;
class QString;

using TSplitArray = std::vector<std::string>;

// Pieces of Text between occurrences of Delimiter: empty inner pieces are kept,
// an empty last piece is dropped ("a,,b," gives "a", "", "b"; "" gives none).
// An empty Delimiter gives Text as one piece (or none when Text is empty).
TSplitArray Split(const std::string& Text, const std::string& Delimiter);

// a*16777216 + b*65536 + c*256 + d of "a.b.c.d" (first part most significant).
// Fewer than four pieces raise ERangeError, so do more than four (a dot after
// the fourth), a piece that is not decimal digits EConvertError, an octet
// over 255 ERangeError.
uint32_t IPToNumber(const std::string& Text);

// "a.b.c.d" of an address number, the one way an address is written.
std::string DottedAddress(uint32_t Number);
// True when a piece of the dotted Text has a leading zero ("010.30.0.1").
bool AddressHasLeadingZero(const std::string& Text);
// The address of Text written the one way: IPToNumber reads "010.30.0.1" and
// "10.030.0.1" as 10.30.0.1, so they name the cube, the profile and the
// computer-name section of 10.30.0.1. A text IPToNumber refuses comes back
// unchanged, for its users to refuse as before.
std::string AddressText(const std::string& Text);

// Returns once Seconds have passed, handling window messages meanwhile.
// Main thread only: any handler may run inside it.
void Delay(float Seconds);

// MAC, USER and NAME of the section IP in "IPToComputerName.ini" of the
// program folder; empty texts for a missing file, section or key.
void LookupComputerInfo(const std::string& IP, std::string& Mac, std::string& User, std::string& Name);

// Folder of the program, without a trailing "/"; every data file lives there.
std::string ProgramDir();
// ProgramDir() + "/" + FileName.
std::string ProgramFile(const std::string& FileName);

// Lines the packet-data log keeps; older lines are dropped first.
constexpr int PktDataMaxLines = 20000;
// Lines the event log keeps (while a cube or pipe is selected, it keeps that
// object's bound instead).
constexpr int ObjInfoMaxLines = 20000;

// Text fit for one log line: control characters (below 0x20 but TAB, 0x7F and
// 0x80-0x9F) become "\xHH", so untrusted text can neither start a line of its
// own nor reach a terminal as an escape sequence.
std::string VisibleText(const std::string& Text);

// Characters of one piece of feed or file text that a log line, memo line,
// label or info line shows: laying out a longer line on screen costs too much
// (a sender of long fields would freeze the view).
constexpr std::size_t MaxShownText = 400;

// A piece of feed text quoted in a message (a field that could not be read)
// is cut shorter, so that the message around it still fits.
constexpr std::size_t MaxQuotedText = 100;

// VisibleText cut to at most Limit characters; a text that does not fit ends
// in " ...(cut, N more bytes)" instead. Every text that reaches a log, memo,
// label or info line goes through it. Blanks of the text are shown as Blank.
std::string ShownText(const std::string& Text, char Blank = ' ', std::size_t Limit = MaxShownText);

// Text of the program is bytes; on screen each byte is the character of the
// same code (Latin-1) and back, so what a memo shows is saved as the very
// bytes it was given.
QString BytesToQ(std::string_view Bytes);
std::string QToBytes(const QString& Text);
// BytesToQ(ShownText(Text)): what a label or message box shows of feed or file
// text (those also take it as plain text, never as markup).
QString ShownQ(const std::string& Text);
// The lines of a memo, as bytes (BytesToQ of each comes back unchanged).
std::vector<std::string> MemoLines(const QPlainTextEdit* Memo);

// The event log: appends one line to the main window's event memo.
// The packet-data log: appends one line to the main window's packet-data memo,
// which never holds more than PktDataMaxLines lines.
// The activity tick: moves the registered activity bar one step (0..100, then
// back to 0).
// A logged text is always one line (ShownText).
// All three may be called from any thread. Log calls from another thread, and
// every tick, are handed to the main thread in order and in batches (one queued
// call per batch); a batch that would grow past its bound drops lines and says
// how many in the log. Without a target (before the windows exist or after
// they are gone) a call does nothing.
void LogObjInfo(const std::string& Text);
void LogToPktData(const std::string& Text);
void PacketTick();

// For failures that can repeat with every packet or cube (a folder that cannot
// be written): "<Routine> <Message>" goes to the packet-data log the first
// time its kind (the text without its quoted names and with its numbers made
// one) is seen; repeats within the second after it are counted and logged as
// "<Routine> <Message> (N more times)" when the second is over, so at most two
// lines a second per kind. Callable from any thread.
void LogFailure(const std::string& Routine, const std::string& Message);

// For failures of single packet lines (what a sender puts in a line can make
// them fail on every line): of one kind at most LineErrorsPerSecond lines a
// second reach the packet-data log, the rest are counted and logged as
// "<first line> (N more times)" when the second is over. Lines that tell one
// failure together go in one call; Kind, when given, is what makes two calls
// one kind (else the kind of the first line). Callable from any thread.
constexpr int LineErrorsPerSecond = 3;
void LogLineError(const std::string& Text);
void LogLineError(const std::vector<std::string>& Lines, const std::string& Kind = std::string());
// Logs the counts still held by LogFailure and LogLineError (at close, before
// the logs are saved).
void FlushLogCounts();
// Tests: forgets what LogFailure and LogLineError hold, and reads time from
// Clock (ns; the steady clock when empty).
void ResetLogLimits(std::function<int64_t()> Clock = nullptr);

// A captured packet's line handed to the main thread with one tick: there it
// is written to the event log when LogIt is set, and again when the registered
// "LogAll" check box is checked.
void HandOverPacketLine(std::string Line, bool LogIt);
void SetLogAllCheckBox(QAbstractButton* Box);
// Main thread: carries out everything handed over so far (also before the
// logs are saved at close).
void DrainHandOver();

// Targets of the logs and the tick; the windows register them and the
// registration follows the widget's life (a freed widget is never touched).
void SetObjInfoMemo(QPlainTextEdit* Memo);
void SetPktDataMemo(QPlainTextEdit* Memo);
// A bar painted per frame repaints only when its window's frame calls
// PaintPacketTicks, and at most once per TickPaintInterval (ticks still count
// at once): thousands of datagrams a second would otherwise repaint it on
// every pass of the event loop, and a fast view on every one of its frames.
enum class TTickPaint { PerPass, PerFrame };
void SetPacketTickBar(QProgressBar* Bar, TTickPaint Paint = TTickPaint::PerPass);
constexpr std::chrono::milliseconds TickPaintInterval{50};
void PaintPacketTicks();
void PaintPacketTicks(std::chrono::steady_clock::time_point Now);

// True on the thread that runs the windows.
bool IsMainThread();
// Runs Work on the main thread: at once when called there, else queued in
// call order. Work must not throw.
void RunOnMainThread(std::function<void()> Work);
