// Exceptions, float and integer text, Format, text helpers, file names, and dates and times.
#include "rtl/SysUtils.h"

#include "rtl/Math.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Errors

std::string SysErrorMessage(int errorCode) {
  char buf[256];
  // GNU strerror_r returns the text (possibly a static string rather than buf).
  const char* text = strerror_r(errorCode, buf, sizeof buf);
  if (!text || !*text) return "Unknown error " + std::to_string(errorCode);
  return text;
}

void RaiseLastOSError() { RaiseLastOSError(errno); }

void RaiseLastOSError(int errorCode) {
  throw EOSError(Format("System Error.  Code: %d.\n%s", errorCode, SysErrorMessage(errorCode)), errorCode);
}

std::string AssertionText(std::string_view message, const char* file, int line) {
  std::string text(message.empty() ? std::string_view("Assertion failure") : message);
  text += " (";
  text += file ? file : "";
  text += ", line ";
  text += std::to_string(line);
  text += ')';
  return text;
}

void rtl::detail::AssertFail(const char* file, int line) { throw EAssertionFailed(AssertionText({}, file, line)); }

void rtl::detail::AssertFail(const char* file, int line, std::string_view message) {
  throw EAssertionFailed(AssertionText(message, file, line));
}

// ---------------------------------------------------------------------------------------------
// Float text

namespace {

// Decimal digits and exponent of a finite, non-negative value: value = 0.d1d2d3... * 10^(exp+1),
// i.e. d1.d2d3... * 10^exp. `precision` < 0 gives the shortest round-trip digits, otherwise that
// many significant digits (exactly rounded).
struct Decimal {
  std::string digits;  // no leading zeros (except for zero itself: "0"), trailing zeros kept
  int exponent = 0;
};

Decimal ToDecimal(double v, int precision) {
  char buf[800];
  std::to_chars_result r;
  if (precision < 0)
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  else
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, std::max(precision - 1, 0));
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  Decimal d;
  std::size_t e = s.find('e');
  for (std::size_t i = 0; i < e; ++i)
    if (s[i] != '.') d.digits += s[i];
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), d.exponent);
  return d;
}

std::string StripTrailingZeros(std::string digits) {
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return digits;
}

// General layout of significant digits: fixed when -5 < exponent < limit, else "d.dddE<exp>".
std::string LayoutGeneral(bool negative, const Decimal& d, int limit) {
  std::string digits = StripTrailingZeros(d.digits);
  std::string out = negative ? "-" : "";
  int e = d.exponent;
  if (digits == "0") {
    out += '0';
    return out;
  }
  if (e <= -5 || e >= limit) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(e);
    return out;
  }
  if (e < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out += digits;
    return out;
  }
  std::size_t intLen = static_cast<std::size_t>(e) + 1;
  if (digits.size() <= intLen) {
    out += digits;
    out.append(intLen - digits.size(), '0');
  } else {
    out.append(digits, 0, intLen);
    out += '.';
    out.append(digits, intLen);
  }
  return out;
}

const char* NonFiniteText(double v) {
  if (std::isnan(v)) return "NAN";
  return v < 0 ? "-INF" : "INF";
}

// Fixed notation with `decimals` digits; exact ties round away from zero (the classic decimal
// rounding of the formatting routines), everything else is exactly rounded.
std::string FixedText(double v, int decimals) {
  if (!std::isfinite(v)) return NonFiniteText(v);
  decimals = std::clamp(decimals, 0, 100);
  double a = std::fabs(v);
  std::string s(400 + 140, '\0');
  auto r = std::to_chars(s.data(), s.data() + s.size(), a, std::chars_format::fixed, decimals + 1 + 30);
  std::string exact(s.data(), r.ptr);
  // Tie when the digit after the kept ones is 5 and nothing follows.
  std::size_t point = exact.find('.');
  std::size_t cut = point + 1 + static_cast<std::size_t>(decimals);
  bool tie = exact[cut] == '5' && exact.find_first_not_of('0', cut + 1) == std::string::npos;
  std::string out;
  if (tie) {
    std::string kept = exact.substr(0, decimals ? cut : point);
    // Increment the kept decimal string by one unit in the last place.
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0) {
      if (kept[static_cast<std::size_t>(i)] == '.') {
        --i;
        continue;
      }
      if (kept[static_cast<std::size_t>(i)] == '9') {
        kept[static_cast<std::size_t>(i)] = '0';
        --i;
      } else {
        ++kept[static_cast<std::size_t>(i)];
        break;
      }
    }
    if (i < 0) kept.insert(kept.begin(), '1');
    out = kept;
  } else {
    r = std::to_chars(s.data(), s.data() + s.size(), a, std::chars_format::fixed, decimals);
    out.assign(s.data(), r.ptr);
  }
  bool allZero = out.find_first_not_of("0.") == std::string::npos;
  if (std::signbit(v) && !allZero) out.insert(out.begin(), '-');
  return out;
}

std::string GroupThousands(const std::string& fixed) {
  std::size_t start = fixed[0] == '-' ? 1 : 0;
  std::size_t end = fixed.find('.');
  if (end == std::string::npos) end = fixed.size();
  std::string out = fixed.substr(0, start);
  std::size_t len = end - start;
  for (std::size_t i = 0; i < len; ++i) {
    if (i > 0 && (len - i) % 3 == 0) out += ',';
    out += fixed[start + i];
  }
  out.append(fixed, end);
  return out;
}

// "d.ddddE+ddd" with `precision` significant digits.
std::string ScientificText(double v, int precision) {
  if (!std::isfinite(v)) return NonFiniteText(v);
  precision = std::clamp(precision, 1, 18);
  Decimal d = ToDecimal(std::fabs(v), precision);
  std::string out = std::signbit(v) && v != 0 ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  if (v == 0) d.exponent = 0;
  out += 'E';
  out += d.exponent < 0 ? '-' : '+';
  std::string e = std::to_string(std::abs(d.exponent));
  if (e.size() < 3) e.insert(0, 3 - e.size(), '0');
  out += e;
  return out;
}

std::string GeneralText(double v, int precision) {
  if (!std::isfinite(v)) return NonFiniteText(v);
  precision = std::clamp(precision, 1, 18);
  Decimal d = ToDecimal(std::fabs(v), precision);
  if (v == 0) return "0";
  return LayoutGeneral(std::signbit(v), d, precision);
}

}  // namespace

std::string FloatToStr(double value) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  Decimal d = ToDecimal(std::fabs(value), -1);
  return LayoutGeneral(std::signbit(value), d, 15);
}

std::string FloatToStr(float value) {
  if (!std::isfinite(value)) return NonFiniteText(value);
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  Decimal d;
  std::size_t e = s.find('e');
  for (std::size_t i = 0; i < e; ++i)
    if (s[i] != '.') d.digits += s[i];
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), d.exponent);
  return LayoutGeneral(std::signbit(value), d, 15);
}

std::string FloatToStrFixed(double value, int decimals) { return FixedText(value, decimals); }

bool TryStrToFloat(std::string_view text, double& value) noexcept {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  std::string_view s = text.substr(b, e - b);
  if (s.empty()) return false;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s[0] == '+' || s[0] == '-') return false;
  if (SameText(s, "NAN")) {
    value = negative ? -std::nan("") : std::nan("");
    return true;
  }
  if (SameText(s, "INF")) {
    value = negative ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  // Only digits, one '.', and an exponent; from_chars would also take "infinity" and hex.
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) return false;
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ptr != s.data() + s.size()) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // Underflow reads as zero; overflow is an error.
    std::size_t ep = s.find_first_of("eE");
    if (ep == std::string_view::npos || s[ep + 1] != '-') return false;
    v = 0;
  } else if (r.ec != std::errc()) {
    return false;
  }
  value = negative ? -v : v;
  return true;
}

bool TryStrToFloat(std::string_view text, float& value) noexcept {
  double d;
  if (!TryStrToFloat(text, d)) return false;
  value = static_cast<float>(d);
  return true;
}

double StrToFloat(std::string_view text) {
  double v;
  if (!TryStrToFloat(text, v)) throw EConvertError(Format("'%s' is not a valid floating point value", text));
  return v;
}

double StrToFloatDef(std::string_view text, double defaultValue) noexcept {
  double v;
  return TryStrToFloat(text, v) ? v : defaultValue;
}

// ---------------------------------------------------------------------------------------------
// Integer text

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string IntToHex(std::int64_t value, int digits) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(value), 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (static_cast<int>(s.size()) < digits) s.insert(0, static_cast<std::size_t>(std::min(digits, 64)) - s.size(), '0');
  return s;
}

namespace {

// Parses into a 64-bit value; `hexBits` is the width hex texts may fill (they wrap into signed).
bool ParseInteger(std::string_view text, std::int64_t& out, int hexBits) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  std::uint64_t mag = 0;
  auto r = std::from_chars(text.data() + i, text.data() + text.size(), mag, base);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
  if (base == 16) {
    if (hexBits < 64 && mag > ((std::uint64_t{1} << hexBits) - 1)) return false;
    std::int64_t v;
    if (hexBits < 64 && mag >= (std::uint64_t{1} << (hexBits - 1)))
      v = static_cast<std::int64_t>(mag) - (std::int64_t{1} << hexBits);
    else
      v = static_cast<std::int64_t>(mag);
    out = negative ? -v : v;
    return true;
  }
  if (negative) {
    if (mag > std::uint64_t{1} << 63) return false;
    out = mag == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(mag);
  } else {
    if (mag > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    out = static_cast<std::int64_t>(mag);
  }
  return true;
}

}  // namespace

bool TryStrToInt64(std::string_view text, std::int64_t& value) noexcept { return ParseInteger(text, value, 64); }

bool TryStrToInt(std::string_view text, int& value) noexcept {
  std::int64_t v;
  if (!ParseInteger(text, v, 32) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    return false;
  value = static_cast<int>(v);
  return true;
}

int StrToInt(std::string_view text) {
  int v;
  if (!TryStrToInt(text, v)) throw EConvertError(Format("'%s' is not a valid integer value", text));
  return v;
}

std::int64_t StrToInt64(std::string_view text) {
  std::int64_t v;
  if (!TryStrToInt64(text, v)) throw EConvertError(Format("'%s' is not a valid integer value", text));
  return v;
}

int StrToIntDef(std::string_view text, int defaultValue) noexcept {
  int v;
  return TryStrToInt(text, v) ? v : defaultValue;
}

std::int64_t StrToInt64Def(std::string_view text, std::int64_t defaultValue) noexcept {
  std::int64_t v;
  return TryStrToInt64(text, v) ? v : defaultValue;
}

// ---------------------------------------------------------------------------------------------
// Format

namespace {

[[noreturn]] void FormatError(std::string_view format) {
  throw EConvertError(Format("Format '%s' invalid or incompatible with argument", format));
}

std::uint64_t AsUnsignedBits(const TVarRec& a) {
  if (a.VType() == TVarRec::vtUnsigned) return a.AsUnsigned();
  std::uint64_t u = static_cast<std::uint64_t>(a.AsInteger());
  if (a.IntBits() < 64) u &= (std::uint64_t{1} << a.IntBits()) - 1;
  return u;
}

}  // namespace

std::string Format(std::string_view format, std::initializer_list<TVarRec> args) {
  const TVarRec* argv = args.begin();
  const std::size_t argc = args.size();
  std::size_t next = 0;
  std::string out;
  out.reserve(format.size() + 16);

  auto takeArg = [&]() -> const TVarRec& {
    if (next >= argc) FormatError(format);
    return argv[next++];
  };
  auto takeInt = [&]() -> int {
    const TVarRec& a = takeArg();
    if (a.VType() == TVarRec::vtInteger)
      return static_cast<int>(std::clamp<std::int64_t>(a.AsInteger(), -100000, 100000));
    if (a.VType() == TVarRec::vtUnsigned) return static_cast<int>(std::min<std::uint64_t>(a.AsUnsigned(), 100000));
    FormatError(format);
  };

  std::size_t i = 0;
  const std::size_t n = format.size();
  while (i < n) {
    char c = format[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i >= n) FormatError(format);
    if (format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // [index:]
    std::size_t save = i;
    int value = 0;
    bool haveDigits = false;
    while (i < n && format[i] >= '0' && format[i] <= '9') {
      value = std::min(value * 10 + (format[i] - '0'), 100000);
      haveDigits = true;
      ++i;
    }
    if (i < n && format[i] == ':' && haveDigits) {
      next = static_cast<std::size_t>(value);
      ++i;
    } else if (i < n && format[i] == '*' && i + 1 < n && format[i + 1] == ':') {
      next = static_cast<std::size_t>(std::max(takeInt(), 0));
      i += 2;
    } else {
      i = save;
    }
    bool left = false;
    if (i < n && format[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1;
    if (i < n && format[i] == '*') {
      width = takeInt();
      ++i;
    } else {
      haveDigits = false;
      value = 0;
      while (i < n && format[i] >= '0' && format[i] <= '9') {
        value = std::min(value * 10 + (format[i] - '0'), 100000);
        haveDigits = true;
        ++i;
      }
      if (haveDigits) width = value;
    }
    int precision = -1;
    if (i < n && format[i] == '.') {
      ++i;
      if (i < n && format[i] == '*') {
        precision = takeInt();
        ++i;
      } else {
        value = 0;
        while (i < n && format[i] >= '0' && format[i] <= '9') {
          value = std::min(value * 10 + (format[i] - '0'), 100000);
          ++i;
        }
        precision = value;
      }
    }
    if (i >= n) FormatError(format);
    char type = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i++])));
    const TVarRec& a = takeArg();
    bool isInt = a.VType() == TVarRec::vtInteger || a.VType() == TVarRec::vtUnsigned;
    std::string piece;
    switch (type) {
      case 'd': {
        if (!isInt) FormatError(format);
        bool neg = a.VType() == TVarRec::vtInteger && a.AsInteger() < 0;
        std::uint64_t mag = a.VType() == TVarRec::vtUnsigned ? a.AsUnsigned()
                                                             : (neg ? 0 - static_cast<std::uint64_t>(a.AsInteger())
                                                                    : static_cast<std::uint64_t>(a.AsInteger()));
        piece = std::to_string(mag);
        if (precision > 0 && static_cast<int>(piece.size()) < precision)
          piece.insert(0, static_cast<std::size_t>(precision) - piece.size(), '0');
        if (neg) piece.insert(piece.begin(), '-');
        break;
      }
      case 'u':
      case 'x': {
        if (!isInt) FormatError(format);
        std::uint64_t u = AsUnsignedBits(a);
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, u, type == 'x' ? 16 : 10);
        piece.assign(buf, r.ptr);
        if (type == 'x')
          for (char& ch : piece) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (precision > 0 && static_cast<int>(piece.size()) < precision)
          piece.insert(0, static_cast<std::size_t>(precision) - piece.size(), '0');
        break;
      }
      case 'f':
      case 'n':
      case 'e':
      case 'g':
      case 'm': {
        double v;
        if (a.VType() == TVarRec::vtFloat)
          v = a.AsFloat();
        else if (a.VType() == TVarRec::vtInteger)
          v = static_cast<double>(a.AsInteger());
        else if (a.VType() == TVarRec::vtUnsigned)
          v = static_cast<double>(a.AsUnsigned());
        else
          FormatError(format);
        if (type == 'f' || type == 'm')
          piece = FixedText(v, precision < 0 ? 2 : precision);
        else if (type == 'n') {
          piece = FixedText(v, precision < 0 ? 2 : precision);
          if (std::isfinite(v)) piece = GroupThousands(piece);
        } else if (type == 'e')
          piece = ScientificText(v, precision < 0 ? 15 : precision);
        else
          piece = GeneralText(v, precision < 0 ? 15 : precision);
        break;
      }
      case 's': {
        if (a.VType() != TVarRec::vtString) FormatError(format);
        std::string_view s = a.AsString();
        if (precision >= 0 && static_cast<std::size_t>(precision) < s.size())
          s = s.substr(0, static_cast<std::size_t>(precision));
        piece.assign(s);
        break;
      }
      case 'p': {
        if (a.VType() != TVarRec::vtPointer) FormatError(format);
        piece = IntToHex(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(a.AsPointer())),
                         static_cast<int>(sizeof(void*) * 2));
        break;
      }
      default: FormatError(format);
    }
    if (width > static_cast<int>(piece.size())) {
      std::size_t pad = static_cast<std::size_t>(width) - piece.size();
      if (left)
        piece.append(pad, ' ');
      else
        piece.insert(0, pad, ' ');
    }
    out += piece;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Text helpers

namespace {
inline char Up(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
inline char Low(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline bool Blank(char c) noexcept { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && Blank(s[i])) ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && Blank(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Up(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Low(c);
  return r;
}

int CompareText(std::string_view a, std::string_view b) noexcept {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(Up(a[i]));
    unsigned char cb = static_cast<unsigned char>(Up(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareStr(std::string_view a, std::string_view b) noexcept {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool SameText(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string QuotedStr(std::string_view s) { return AnsiQuotedStr(s, '\''); }

std::string AnsiQuotedStr(std::string_view s, char quote) {
  std::string r;
  r.reserve(s.size() + 2);
  r += quote;
  for (char c : s) {
    r += c;
    if (c == quote) r += quote;
  }
  r += quote;
  return r;
}

std::string AnsiDequotedStr(std::string_view s, char quote) {
  if (s.empty() || s[0] != quote) return std::string(s);
  std::string r;
  std::size_t i = 1;
  while (i < s.size()) {
    if (s[i] == quote) {
      if (i + 1 < s.size() && s[i + 1] == quote) {
        r += quote;
        i += 2;
        continue;
      }
      break;
    }
    r += s[i++];
  }
  return r;
}

std::string StringReplace(std::string_view s, std::string_view oldPattern, std::string_view newPattern,
                          TReplaceFlags flags) {
  if (oldPattern.empty()) return std::string(s);
  bool ignoreCase = flags.Contains(rfIgnoreCase);
  std::string hay = ignoreCase ? UpperCase(s) : std::string(s);
  std::string needle = ignoreCase ? UpperCase(oldPattern) : std::string(oldPattern);
  std::string out;
  std::size_t pos = 0;
  while (true) {
    std::size_t f = hay.find(needle, pos);
    if (f == std::string::npos) break;
    out.append(s.substr(pos, f - pos));
    out.append(newPattern);
    pos = f + needle.size();
    if (!flags.Contains(rfReplaceAll)) break;
  }
  out.append(s.substr(pos));
  return out;
}

int Pos(std::string_view sub, std::string_view s) noexcept {
  if (sub.empty()) return 0;
  std::size_t f = s.find(sub);
  return f == std::string_view::npos ? 0 : static_cast<int>(f) + 1;
}

std::string Copy(std::string_view s, int index, int count) {
  if (index < 1) index = 1;
  if (count <= 0 || static_cast<std::size_t>(index) > s.size()) return {};
  return std::string(s.substr(static_cast<std::size_t>(index) - 1, static_cast<std::size_t>(count)));
}

bool StartsText(std::string_view prefix, std::string_view s) noexcept {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

bool EndsText(std::string_view suffix, std::string_view s) noexcept {
  return s.size() >= suffix.size() && SameText(s.substr(s.size() - suffix.size()), suffix);
}

bool IsValidIdent(std::string_view ident) noexcept {
  if (ident.empty()) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!alpha(ident[0])) return false;
  for (char c : ident.substr(1))
    if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// File names

std::string ExtractFileName(std::string_view path) {
  std::size_t p = path.find_last_of('/');
  return std::string(p == std::string_view::npos ? path : path.substr(p + 1));
}

std::string ExtractFilePath(std::string_view path) {
  std::size_t p = path.find_last_of('/');
  return p == std::string_view::npos ? std::string() : std::string(path.substr(0, p + 1));
}

std::string ExtractFileDir(std::string_view path) {
  std::size_t p = path.find_last_of('/');
  if (p == std::string_view::npos) return {};
  if (p == 0) return "/";
  return std::string(path.substr(0, p));
}

std::string ExtractFileExt(std::string_view path) {
  std::size_t p = path.find_last_of("./");
  if (p == std::string_view::npos || path[p] != '.') return {};
  return std::string(path.substr(p));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  std::size_t p = path.find_last_of("./");
  std::string r(path);
  if (p != std::string_view::npos && path[p] == '.') r.resize(p);
  r += ext;
  return r;
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string r(path);
  if (r.empty() || r.back() != '/') r += '/';
  return r;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
  std::string r(path);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

std::string ExpandFileName(std::string_view path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(std::string(path)), ec);
  if (ec) return std::string(path);
  return p.lexically_normal().string();
}

bool FileExists(const std::string& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& oldName, const std::string& newName) noexcept {
  return ::rename(oldName.c_str(), newName.c_str()) == 0;
}

bool ForceDirectories(const std::string& path) noexcept {
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(fs::path(path), ec);
  return DirectoryExists(path);
}

std::string GetCurrentDir() {
  std::error_code ec;
  fs::path p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

// ---------------------------------------------------------------------------------------------
// Date and time

namespace {

constexpr std::int64_t kMSecsPerDay = 86400000;
// Day number of 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t kDelphiEpochFromUnix = -25569;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(y + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

// Splits a TDateTime into whole days and milliseconds of the day (the time part counts from
// midnight also for dates before 1899-12-30, whose fraction is negative).
void SplitDateTime(TDateTime dt, std::int64_t& days, std::int64_t& msecs) noexcept {
  double scaled = dt * static_cast<double>(kMSecsPerDay);
  if (!(std::fabs(scaled) < 9.0e18)) {
    days = 0;
    msecs = 0;
    return;
  }
  std::int64_t total = Round(scaled);
  days = total / kMSecsPerDay;
  msecs = total % kMSecsPerDay;
  if (msecs < 0) msecs = -msecs;
}

}  // namespace

bool IsLeapYear(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) noexcept {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  result = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                               kDelphiEpochFromUnix);
  return true;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& result) noexcept {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999) return false;
  result = static_cast<double>(((hour * 60 + min) * 60 + sec) * 1000 + msec) / static_cast<double>(kMSecsPerDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime r;
  if (!TryEncodeTime(hour, min, sec, msec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) noexcept {
  std::int64_t days, msecs;
  SplitDateTime(dt, days, msecs);
  CivilFromDays(days + kDelphiEpochFromUnix, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) noexcept {
  std::int64_t days, msecs;
  SplitDateTime(dt, days, msecs);
  msec = static_cast<int>(msecs % 1000);
  std::int64_t s = msecs / 1000;
  sec = static_cast<int>(s % 60);
  min = static_cast<int>((s / 60) % 60);
  hour = static_cast<int>(s / 3600);
}

TDateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  tm local{};
  localtime_r(&secs, &local);
  TDateTime date = 0, time = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
  TryEncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), static_cast<int>(ts.tv_nsec / 1000000), time);
  return date + time;
}

TDateTime Date() { return std::floor(Now()); }

TDateTime Time() {
  TDateTime n = Now();
  return n - std::floor(n);
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
  static const char* const shortMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char* const longMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                             "July",    "August",   "September", "October", "November", "December"};
  static const char* const shortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const longDays[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  int year, month, day, hour, min, sec, msec;
  DecodeDate(dt, year, month, day);
  DecodeTime(dt, hour, min, sec, msec);
  std::int64_t days, msecs;
  SplitDateTime(dt, days, msecs);
  // 1899-12-30 was a Saturday.
  int weekday = static_cast<int>(((days % 7) + 7 + 6) % 7);

  auto pad = [](int v, int w) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < w) s.insert(0, static_cast<std::size_t>(w) - s.size(), '0');
    return s;
  };
  std::string out;
  bool afterHour = false;
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    char lc = Low(c);
    if (c == '"' || c == '\'') {
      std::size_t e = format.find(c, i + 1);
      if (e == std::string_view::npos) e = format.size();
      out.append(format.substr(i + 1, e - i - 1));
      i = e < format.size() ? e + 1 : e;
      continue;
    }
    if (lc != 'y' && lc != 'm' && lc != 'd' && lc != 'h' && lc != 'n' && lc != 's' && lc != 'z') {
      out += c;
      ++i;
      continue;
    }
    std::size_t run = 1;
    while (i + run < format.size() && Low(format[i + run]) == lc) ++run;
    i += run;
    switch (lc) {
      case 'y': out += run <= 2 ? pad(year % 100, 2) : pad(year, 4); break;
      case 'm':
        if (afterHour && run <= 2)
          out += pad(min, run == 1 ? 1 : 2);
        else if (run == 1)
          out += std::to_string(month);
        else if (run == 2)
          out += pad(month, 2);
        else if (run == 3)
          out += shortMonths[month - 1];
        else
          out += longMonths[month - 1];
        break;
      case 'd':
        if (run == 1)
          out += std::to_string(day);
        else if (run == 2)
          out += pad(day, 2);
        else if (run == 3)
          out += shortDays[weekday];
        else
          out += longDays[weekday];
        break;
      case 'h': out += pad(hour, run == 1 ? 1 : 2); break;
      case 'n': out += pad(min, run == 1 ? 1 : 2); break;
      case 's': out += pad(sec, run == 1 ? 1 : 2); break;
      case 'z': out += pad(msec, run >= 3 ? 3 : 1); break;
    }
    afterHour = lc == 'h';
  }
  return out;
}
