// Exception classes, the always-on assertion, C-locale number/text helpers, file-name helpers and
// date-time helpers.
//
// Locale: every conversion here works in the C locale (decimal point '.', thousands separator ',')
// whatever setlocale says. Strings are UTF-8 std::string; case mapping touches ASCII letters only.
// All functions are thread-safe (no shared state).
#pragma once

#include "rtl/System.h"

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>
#include <string_view>
#include <type_traits>

// ---------------------------------------------------------------------------------------------
// Exceptions. Each is a TObject (ClassName() gives its exact name) and a std::exception (what()
// gives Message()). Raise with `throw EListError(Format("List index out of bounds (%d)", i))`.

class Exception : public TObject, public std::exception {
  RTL_CLASS(Exception, TObject)
 public:
  Exception() = default;
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define RTL_DECLARE_EXCEPTION(Name, Parent) \
  class Name : public Parent {              \
    RTL_CLASS(Name, Parent)                 \
   public:                                  \
    using Parent::Parent;                   \
  }

// Silent exception: handlers that report errors skip it.
RTL_DECLARE_EXCEPTION(EAbort, Exception);
RTL_DECLARE_EXCEPTION(EAssertionFailed, Exception);
RTL_DECLARE_EXCEPTION(EConvertError, Exception);
RTL_DECLARE_EXCEPTION(EInvalidOperation, Exception);
RTL_DECLARE_EXCEPTION(EInvalidCast, Exception);
RTL_DECLARE_EXCEPTION(EInvalidPointer, Exception);
RTL_DECLARE_EXCEPTION(EOutOfMemory, Exception);
RTL_DECLARE_EXCEPTION(ENotSupportedException, Exception);
RTL_DECLARE_EXCEPTION(EListError, Exception);
RTL_DECLARE_EXCEPTION(EStringListError, Exception);
RTL_DECLARE_EXCEPTION(EComponentError, Exception);
RTL_DECLARE_EXCEPTION(EThread, Exception);
RTL_DECLARE_EXCEPTION(EStreamError, Exception);
RTL_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
RTL_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);
RTL_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
RTL_DECLARE_EXCEPTION(EFilerError, EStreamError);
RTL_DECLARE_EXCEPTION(EReadError, EFilerError);
RTL_DECLARE_EXCEPTION(EWriteError, EFilerError);
RTL_DECLARE_EXCEPTION(EClassNotFound, EFilerError);
RTL_DECLARE_EXCEPTION(EInvalidImage, EFilerError);
RTL_DECLARE_EXCEPTION(EIntError, Exception);
RTL_DECLARE_EXCEPTION(EDivByZero, EIntError);
RTL_DECLARE_EXCEPTION(ERangeError, EIntError);
RTL_DECLARE_EXCEPTION(EIntOverflow, EIntError);
RTL_DECLARE_EXCEPTION(EMathError, Exception);
RTL_DECLARE_EXCEPTION(EInvalidOp, EMathError);
RTL_DECLARE_EXCEPTION(EZeroDivide, EMathError);
RTL_DECLARE_EXCEPTION(EOverflow, EMathError);
RTL_DECLARE_EXCEPTION(EUnderflow, EMathError);

// An operating-system error with its code (errno, or a code the caller maps).
class EOSError : public Exception {
  RTL_CLASS(EOSError, Exception)
 public:
  EOSError() = default;
  explicit EOSError(std::string message, int errorCode = 0) : Exception(std::move(message)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }
  void SetErrorCode(int code) noexcept { errorCode_ = code; }

 private:
  int errorCode_ = 0;
};

// A file input/output error with its code.
class EInOutError : public Exception {
  RTL_CLASS(EInOutError, Exception)
 public:
  EInOutError() = default;
  explicit EInOutError(std::string message, int errorCode = 0) : Exception(std::move(message)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_ = 0;
};

// Checked downcast ("obj as T"): nullptr stays nullptr; an object that is not a T (or a
// descendant) raises EInvalidCast "Invalid class typecast".
//   auto* cube = As<SnifferObject>(SelectedObject);
template <class T>
T* As(TObject* obj) {
  if (!obj) return nullptr;
  if (T* typed = dynamic_cast<T*>(obj)) return typed;
  throw EInvalidCast("Invalid class typecast");
}

// The text of an OS error code ("No such file or directory"); "Unknown error <n>" when unknown.
std::string SysErrorMessage(int errorCode);
// Raises EOSError "System Error.  Code: <n>.\n<text>" for errno (or the given code).
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(int errorCode);

// ---------------------------------------------------------------------------------------------
// Assertion: active in every build (NDEBUG does not remove it). A failure throws
// EAssertionFailed with the text "<message> (<source path>, line <n>)", where the message is
// "Assertion failure" when none is given.
//   RTL_ASSERT(count >= 0);
//   RTL_ASSERT(updateCount > 0, "Unbalanced Begin/EndUpdate");

namespace rtl::detail {
[[noreturn]] void AssertFail(const char* file, int line);
[[noreturn]] void AssertFail(const char* file, int line, std::string_view message);
}  // namespace rtl::detail

#define RTL_ASSERT(cond, ...)                                                              \
  do {                                                                                     \
    if (!(cond)) ::rtl::detail::AssertFail(__FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

// Builds the assertion text (for callers that raise it themselves).
std::string AssertionText(std::string_view message, const char* file, int line);

// ---------------------------------------------------------------------------------------------
// Format: printf-like, C locale, with the conversions the system uses:
//   %d %u      integer (a precision gives a minimum digit count, zero-padded)
//   %x %X      hexadecimal, upper case digits (precision = minimum digits: "%.2x" of 10 is "0A")
//   %f %.Nf    fixed (default 2 decimals)
//   %n %.Nn    fixed with ',' thousands separators (default 2 decimals)
//   %e %.Ne    scientific "d.ddddE+ddd" (default 15 significant digits)
//   %g %.Ng    general: shortest of fixed/scientific with N significant digits (default 15)
//   %s %.Ns    text (precision = maximum characters)
//   %p         pointer as hexadecimal
//   %%         percent sign
// Flags: '-' left-justifies; a width pads with blanks; '*' takes width or precision from the
// arguments; "%<index>:" picks an argument by position. Integers given to %f/%n/%e/%g are
// converted; a float given to %d/%x, a text given to a number (or the reverse), too few arguments
// or a malformed directive raise EConvertError "Format '<fmt>' invalid or incompatible with
// argument".

class TVarRec {
 public:
  enum Kind { vtInteger, vtUnsigned, vtFloat, vtString, vtPointer };

  template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) TVarRec(T v)
  noexcept : bits_(sizeof(T) * 8) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = vtInteger;
      i_ = v;
    } else {
      kind_ = vtUnsigned;
      u_ = v;
    }
  }
  TVarRec(bool v) noexcept : kind_(vtInteger), i_(v ? 1 : 0) {}
  TVarRec(char c) noexcept : kind_(vtString), s_(&chr_, 1), chr_(c) {}
  TVarRec(float v) noexcept : kind_(vtFloat), f_(v) {}
  TVarRec(double v) noexcept : kind_(vtFloat), f_(v) {}
  TVarRec(long double v) noexcept : kind_(vtFloat), f_(static_cast<double>(v)) {}
  TVarRec(const char* s) noexcept : kind_(vtString), s_(s ? std::string_view(s) : std::string_view()) {}
  TVarRec(std::string_view s) noexcept : kind_(vtString), s_(s) {}
  TVarRec(const std::string& s) noexcept : kind_(vtString), s_(s) {}
  TVarRec(const void* p) noexcept : kind_(vtPointer), p_(p) {}
  TVarRec(const TVarRec& o) noexcept { *this = o; }
  TVarRec& operator=(const TVarRec& o) noexcept {
    kind_ = o.kind_;
    i_ = o.i_;
    u_ = o.u_;
    f_ = o.f_;
    p_ = o.p_;
    chr_ = o.chr_;
    bits_ = o.bits_;
    s_ = (o.s_.data() == &o.chr_) ? std::string_view(&chr_, 1) : o.s_;
    return *this;
  }

  Kind VType() const noexcept { return kind_; }
  std::int64_t AsInteger() const noexcept { return i_; }
  std::uint64_t AsUnsigned() const noexcept { return u_; }
  double AsFloat() const noexcept { return f_; }
  std::string_view AsString() const noexcept { return s_; }
  const void* AsPointer() const noexcept { return p_; }
  // Width in bits of the integer type given (%x/%u show negatives in that width).
  int IntBits() const noexcept { return bits_; }

 private:
  Kind kind_ = vtInteger;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
  double f_ = 0;
  std::string_view s_;
  const void* p_ = nullptr;
  char chr_ = 0;
  int bits_ = 32;
};

std::string Format(std::string_view format, std::initializer_list<TVarRec> args);
template <class... Args>
std::string Format(std::string_view format, const Args&... args) {
  return Format(format, {TVarRec(args)...});
}

// ---------------------------------------------------------------------------------------------
// Numbers <-> text (C locale).

std::string IntToStr(std::int64_t value);
// Upper-case hexadecimal with at least `digits` digits (two's complement for negatives:
// IntToHex(-1, 2) is "FFFFFFFFFFFFFFFF").
std::string IntToHex(std::int64_t value, int digits = 1);
// Accepts optional blanks before, a sign, decimal digits, or hexadecimal after "$" or "0x".
// StrToInt raises EConvertError "'<text>' is not a valid integer value" when the text is not an
// integer or is out of range of int (StrToInt64: of 64 bits).
int StrToInt(std::string_view text);
std::int64_t StrToInt64(std::string_view text);
int StrToIntDef(std::string_view text, int defaultValue) noexcept;
std::int64_t StrToInt64Def(std::string_view text, std::int64_t defaultValue) noexcept;
bool TryStrToInt(std::string_view text, int& value) noexcept;
bool TryStrToInt64(std::string_view text, std::int64_t& value) noexcept;

// Shortest text that reads back as the same double: "0.1", "1.5", "100", "1E20", "1.5E-7",
// "-0", "NAN", "INF", "-INF". Fixed notation for decimal exponents -5 < e < 15.
std::string FloatToStr(double value);
// The same for single-precision values ("0.1" for 0.1f rather than its double expansion).
std::string FloatToStr(float value);
template <class T>
requires std::is_integral_v<T> std::string FloatToStr(T value) { return FloatToStr(static_cast<double>(value)); }
// Fixed notation with `decimals` digits after the point ("%.Nf").
std::string FloatToStrFixed(double value, int decimals);
// Accepts blanks around, a sign, digits with an optional '.', an optional exponent, and
// "NAN"/"INF"/"-INF" (any case). StrToFloat raises EConvertError "'<text>' is not a valid
// floating point value".
double StrToFloat(std::string_view text);
double StrToFloatDef(std::string_view text, double defaultValue) noexcept;
bool TryStrToFloat(std::string_view text, double& value) noexcept;
bool TryStrToFloat(std::string_view text, float& value) noexcept;

// ---------------------------------------------------------------------------------------------
// Text helpers. "Blank" means any character <= ' '.

std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// Byte-wise comparison, ASCII letters folded to upper case; <0, 0, >0.
int CompareText(std::string_view a, std::string_view b) noexcept;
int CompareStr(std::string_view a, std::string_view b) noexcept;
bool SameText(std::string_view a, std::string_view b) noexcept;
// 'it''s' style quoting.
std::string QuotedStr(std::string_view s);
std::string AnsiQuotedStr(std::string_view s, char quote);
// Reverses AnsiQuotedStr: reads a quoted text at the start of `s` (doubled quotes collapse);
// returns `s` unchanged when it does not start with the quote.
std::string AnsiDequotedStr(std::string_view s, char quote);

enum TReplaceFlag { rfReplaceAll, rfIgnoreCase };
using TReplaceFlags = TSet<TReplaceFlag>;
std::string StringReplace(std::string_view s, std::string_view oldPattern, std::string_view newPattern,
                          TReplaceFlags flags);
// One-based position of `sub` in `s`, 0 when absent (and for an empty `sub`).
int Pos(std::string_view sub, std::string_view s) noexcept;
// Pascal-style one-based substring; out-of-range parts are clipped, never an error.
std::string Copy(std::string_view s, int index, int count);
bool StartsText(std::string_view prefix, std::string_view s) noexcept;
bool EndsText(std::string_view suffix, std::string_view s) noexcept;
bool IsValidIdent(std::string_view ident) noexcept;

// ---------------------------------------------------------------------------------------------
// File names ('/' separated) and simple file-system queries. None of these throws.

std::string ExtractFileName(std::string_view path);  // "a/b.txt" -> "b.txt"
std::string ExtractFilePath(std::string_view path);  // "a/b.txt" -> "a/"
std::string ExtractFileDir(std::string_view path);   // "a/b.txt" -> "a"
std::string ExtractFileExt(std::string_view path);   // "a/b.txt" -> ".txt"
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string IncludeTrailingPathDelimiter(std::string_view path);
std::string ExcludeTrailingPathDelimiter(std::string_view path);
std::string ExpandFileName(std::string_view path);  // absolute, normalised
bool FileExists(const std::string& path) noexcept;  // an existing non-directory
bool DirectoryExists(const std::string& path) noexcept;
bool DeleteFile(const std::string& path) noexcept;
bool RenameFile(const std::string& oldName, const std::string& newName) noexcept;
bool ForceDirectories(const std::string& path) noexcept;
std::string GetCurrentDir();

// ---------------------------------------------------------------------------------------------
// Date and time. TDateTime counts days since 1899-12-30 00:00 (local time); the fraction is the
// time of day. Encode functions raise EConvertError "Invalid argument to date encode" /
// "Invalid argument to time encode" for out-of-range parts.

using TDateTime = double;

constexpr double HoursPerDay = 24;
constexpr double MinsPerDay = 24 * 60;
constexpr double SecsPerDay = 24 * 60 * 60;
constexpr double MSecsPerDay = 24 * 60 * 60 * 1000.0;

TDateTime Now();   // local date and time, millisecond resolution
TDateTime Date();  // today at 00:00
TDateTime Time();  // time of day only
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept;
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result) noexcept;
void DecodeDate(TDateTime dt, int& year, int& month, int& day) noexcept;
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) noexcept;
bool IsLeapYear(int year) noexcept;
int DaysInMonth(int year, int month) noexcept;
// Format codes: yyyy yy m mm d dd h hh n nn s ss z zzz, "m"/"mm" right after an hour code
// means minutes; '/' and ':' are themselves; "text" or 'text' is copied; anything else copied.
// Example: FormatDateTime("hh:nn:ss:zzz", t) -> "09:05:03:007".
std::string FormatDateTime(std::string_view format, TDateTime dt);

// Sets a value for the rest of the scope and puts the old one back when the scope is left,
// also by an exception.
template <class T>
class TRestore {
 public:
  TRestore(T& ref, T newValue) : ref_(ref), saved_(std::exchange(ref, std::move(newValue))) {}
  ~TRestore() { ref_ = std::move(saved_); }
  TRestore(const TRestore&) = delete;
  TRestore& operator=(const TRestore&) = delete;

 private:
  T& ref_;
  T saved_;
};

// Runs f when the scope is left, also by an exception: flags and brackets set
// around code that can throw are put back. What f raises on the normal way out
// leaves the scope in its place, so a failing cleanup is told; while an
// exception unwinds the scope, that exception goes on and what f raises is
// dropped. A guard made on the way out of a scope (inside a destructor run by
// unwinding) counts as on the normal way out of its own scope.
template <class F>
class TScopeExit {
 public:
  explicit TScopeExit(F f) : f_(std::move(f)), uncaught_(std::uncaught_exceptions()) {}
  ~TScopeExit() noexcept(false) {
    if (std::uncaught_exceptions() <= uncaught_) {
      f_();
      return;
    }
    try {
      f_();
    } catch (...) {
    }
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F f_;
  int uncaught_;
};

// One more level of nesting, counted in `depth` for the rest of the scope. Entering beyond
// `limit` leaves the count as it was and throws what tooDeep() returns, so that input nested
// deeper than the stack allows is refused instead of followed. A type of its own, not a
// TScopeExit, because the count is raised only once the limit is known to hold; the stream
// reader and the object-list archive both use it.
class TNestingLevel {
 public:
  template <class MakeError>
  TNestingLevel(int& depth, int limit, MakeError tooDeep) : depth_(depth) {
    if (depth_ >= limit) throw tooDeep();
    ++depth_;
  }
  ~TNestingLevel() { --depth_; }
  TNestingLevel(const TNestingLevel&) = delete;
  TNestingLevel& operator=(const TNestingLevel&) = delete;

 private:
  int& depth_;
};
