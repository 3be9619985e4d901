// Untrusted text through the list-file and number parsers: list files (any line ends), comma
// text, name=value lines, integer and float fields. Checks the round trips the program relies on.
#include "rtl/Classes.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool SameLines(const TStrings& a, const TStrings& b) {
  if (a.Count() != b.Count()) return false;
  for (int i = 0; i < a.Count(); ++i)
    if (a.Strings(i) != b.Strings(i)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  TStringStream stream{std::string(text)};
  TStringList lines;
  lines.LoadFromStream(&stream);
  TStringList again;
  again.SetText(lines.Text());
  Check(SameLines(lines, again));

  TStringList comma;
  comma.SetCommaText(text);
  TStringList back;
  back.SetCommaText(comma.CommaText());
  Check(SameLines(comma, back));

  for (int i = 0; i < lines.Count() && i < 64; ++i) {
    std::string name = lines.Names(i);
    if (!name.empty()) Check(lines.IndexOfName(name) <= i);
    std::string field = Trim(lines.ValueFromIndex(i));
    double v;
    if (TryStrToFloat(field, v) && std::isfinite(v)) Check(StrToFloat(FloatToStr(v)) == v);
    int n;
    if (TryStrToInt(field, n)) Check(StrToInt(IntToStr(n)) == n);
  }

  TStringList sorted;
  sorted.SetSorted(true);
  sorted.SetDuplicates(dupAccept);
  sorted.AddStrings(&lines);
  for (int i = 1; i < sorted.Count(); ++i) Check(sorted.CompareStrings(sorted.Strings(i - 1), sorted.Strings(i)) <= 0);
  return 0;
}
