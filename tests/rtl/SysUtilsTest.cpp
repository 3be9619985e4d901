// Tests of Format, float and integer text, text and file-name helpers, rounding, random numbers,
// dates and times, assertions and OS errors.
#include "rtl/Math.h"
#include "rtl/SysUtils.h"
#include "rtl/GermanLocale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

TEST(Format, ConversionsTheSystemUses) {
  EXPECT_EQ(Format("%d.%d.%d.%d", 192, 168, 0, 1), "192.168.0.1");
  EXPECT_EQ(Format("%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", 0, 10, 255, 0x1b, 7, 128), "00-0A-FF-1B-07-80");
  EXPECT_EQ(Format("%s[%d]", "Form1.Nodes", 3), "Form1.Nodes[3]");
  EXPECT_EQ(Format("%.4f; %.4f; %.4f", 1.0, -0.5, 2.0 / 3.0), "1.0000; -0.5000; 0.6667");
  EXPECT_EQ(Format("%s (%d Hz, %d bits, %d channel%s, %.2f sec)", "a.wav", 22050, 8, 1, "", 1.5),
            "a.wav (22050 Hz, 8 bits, 1 channel, 1.50 sec)");
  EXPECT_EQ(Format("%-12s|", "12:00:01:002"), "12:00:01:002|");
  EXPECT_EQ(Format("%-12s|", "ab"), "ab          |");
  EXPECT_EQ(Format("%5s|%-5d|%5d", "x", 42, -7), "    x|42   |   -7");
  EXPECT_EQ(Format("bps %.0n", 1234567.0), "bps 1,234,567");
  EXPECT_EQ(Format("%.2n", -1234.5), "-1,234.50");
  EXPECT_EQ(Format("%n", 999.0), "999.00");
  EXPECT_EQ(Format("RA: %5.1f / Dec: %5.1f", 12.34, -3.0), "RA:  12.3 / Dec:  -3.0");
  EXPECT_EQ(Format("%.1f FPS", 59.95), "60.0 FPS");  // 59.95 is stored just above the tie
  EXPECT_EQ(Format("%d: %.1f", 2, 0.25), "2: 0.3");  // exact ties round away from zero
  EXPECT_EQ(Format("%.0f %.0f %.0f", 0.5, 1.5, -2.5), "1 2 -3");
  EXPECT_EQ(Format("%.3d|%u|%x", -5, 7u, -1), "-005|7|FFFFFFFF");
  EXPECT_EQ(Format("%x", std::int64_t{-1}), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Format("%g|%g|%g|%g", 1.5, 1e20, 0.0001, 1.5e-7), "1.5|1E20|0.0001|1.5E-7");
  EXPECT_EQ(Format("%e", 1234.5), "1.23450000000000E+003");
  EXPECT_EQ(Format("%.3s|%s%%", "abcdef", 'Z'), "abc|Z%");
}

TEST(Format, MismatchesAndMalformedDirectivesRaise) {
  const char* expected = "Format '%d' invalid or incompatible with argument";
  try {
    Format("%d", 1.5);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), expected);
  }
  EXPECT_THROW(Format("%s", 3), EConvertError);
  EXPECT_THROW(Format("%f", "x"), EConvertError);
  EXPECT_THROW(Format("%d %d", 1), EConvertError);
  EXPECT_THROW(Format("50%"), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
  // Positional arguments and '*' widths.
  EXPECT_EQ(Format("%1:s %0:s %s", "a", "b"), "b a b");
  EXPECT_EQ(Format("%*d|%-*d|%.*f", 4, 7, 3, 8, 1, 2.25), "   7|8  |2.3");
  EXPECT_EQ(Format("%f %.0f", 3, 2), "3.00 2");  // integers are accepted by float conversions
}

TEST(FloatText, ShortestRoundTripInGeneralLayout) {
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(FloatToStr(100.0), "100");
  EXPECT_EQ(FloatToStr(-1.5), "-1.5");
  EXPECT_EQ(FloatToStr(0.0), "0");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(1.25e-7), "1.25E-7");
  EXPECT_EQ(FloatToStr(0.1f), "0.1");  // singles print their own shortest form
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  for (double v : {0.1, 1.0 / 3.0, 6.02214076e23, -2.5e-300, 5e-324, 1.7976931348623157e308}) {
    EXPECT_EQ(StrToFloat(FloatToStr(v)), v) << FloatToStr(v);
  }
}

TEST(FloatText, ReadingAcceptsCLocaleNumbersOnly) {
  EXPECT_DOUBLE_EQ(StrToFloat(" 1.5 "), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloat("-2.5E3"), -2500);
  EXPECT_DOUBLE_EQ(StrToFloat("+.5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("5."), 5);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);
  EXPECT_TRUE(std::isinf(StrToFloat("-INF")));
  EXPECT_TRUE(std::isnan(StrToFloat("nan")));
  double v = 7;
  for (const char* bad : {"", " ", "1,5", "1.5x", "0x10", "1e999", "--1", "infinity", "1 2"}) {
    EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
  }
  EXPECT_EQ(v, 7);
  try {
    StrToFloat("1,5");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'1,5' is not a valid floating point value");
  }
  EXPECT_EQ(StrToFloatDef("x", 2.5), 2.5);
}

TEST(FloatText, IndependentOfTheProcessLocale) {
  char tmpl[] = "/tmp/rtl-locale-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path scratch = tmpl;
  GermanLocale german(scratch);
  if (!german.Active()) {
    std::filesystem::remove_all(scratch);
    GTEST_SKIP() << "no German locale available";
  }
  char native[16];
  std::snprintf(native, sizeof native, "%.1f", 1.5);  // proves the locale really took effect
  std::string text = FloatToStr(1.5);
  std::string single = FloatToStr(0.25f);
  std::string formatted = Format("%.2f|%.0n|%e|%g", 2.25, 1234.0, 1.5, 0.125);
  double parsed = 0;
  bool ok = TryStrToFloat("3.25", parsed);
  bool commaRefused = !TryStrToFloat("3,25", parsed);
  german.Restore();
  std::filesystem::remove_all(scratch);
  EXPECT_STREQ(native, "1,5");
  EXPECT_EQ(text, "1.5");
  EXPECT_EQ(single, "0.25");
  EXPECT_EQ(formatted, "2.25|1,234|1.50000000000000E+000|0.125");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(commaRefused);
  EXPECT_EQ(parsed, 3.25);
}

TEST(IntegerText, ParsingAndLimits) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("  -17"), -17);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("0x7fffffff"), 2147483647);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);  // hex fills the 32 bits
  EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int>::min());
  EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  int v = 3;
  for (const char* bad : {"", "2147483648", "12 ", "1.0", "abc", "$", "0x", "+-1", "$1FFFFFFFF"}) {
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
  }
  EXPECT_EQ(v, 3);
  try {
    StrToInt("12a");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'12a' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef("zz", -1), -1);
  EXPECT_EQ(IntToStr(-9000000000), "-9000000000");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(0x1234, 2), "1234");
}

TEST(Text, CaseTrimQuoteReplace) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x "), "  x");
  EXPECT_EQ(UpperCase("abc-\xC3\xA9"), "ABC-\xC3\xA9");  // ASCII only: UTF-8 bytes untouched
  EXPECT_EQ(LowerCase("TGLCube"), "tglcube");
  EXPECT_TRUE(SameText("Images", "IMAGES"));
  EXPECT_FALSE(SameText("Image", "Images"));
  EXPECT_LT(CompareText("apple", "Banana"), 0);
  EXPECT_GT(CompareStr("apple", "Banana"), 0);
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_EQ(QuotedStr("it's"), "'it''s'");
  EXPECT_EQ(AnsiDequotedStr("'it''s' rest", '\''), "it's");
  EXPECT_EQ(StringReplace("a.b.c", ".", "_", {rfReplaceAll}), "a_b_c");
  EXPECT_EQ(StringReplace("a.b.c", ".", "_", {}), "a_b.c");
  EXPECT_EQ(StringReplace("xAbxaB", "ab", "-", {rfReplaceAll, rfIgnoreCase}), "x-x-");
  EXPECT_EQ(Pos("lo", "hello"), 4);
  EXPECT_EQ(Pos("z", "hello"), 0);
  EXPECT_EQ(Copy("hello", 2, 3), "ell");
  EXPECT_EQ(Copy("hello", 4, 100), "lo");
  EXPECT_EQ(Copy("hello", 9, 1), "");
  EXPECT_TRUE(IsValidIdent("_IP192_168_1"));
  EXPECT_FALSE(IsValidIdent("IP192.168"));
}

TEST(FileNames, SplitAndChange) {
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFileDir("/a/b/c.txt"), "/a/b");
  EXPECT_EQ(ExtractFileExt("/a/b.d/c"), "");
  EXPECT_EQ(ExtractFileExt("c.tar.gz"), ".gz");
  EXPECT_EQ(ChangeFileExt("/a/b.d/c", ".ini"), "/a/b.d/c.ini");
  EXPECT_EQ(ChangeFileExt("x.exe", ".ini"), "x.ini");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a//"), "/a");
}

TEST(Rounding, HalfToEvenAndTruncationTowardZero) {
  EXPECT_EQ(Round(2.5), 2);
  EXPECT_EQ(Round(3.5), 4);
  EXPECT_EQ(Round(-2.5), -2);
  EXPECT_EQ(Round(-3.5), -4);
  EXPECT_EQ(Round(0.49999999999999994), 0);
  EXPECT_EQ(Round(2.5000000000000004), 3);
  EXPECT_EQ(Round(4503599627370497.0), 4503599627370497);
  EXPECT_EQ(Round(std::nan("")), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Round(1e300), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Trunc(-1.9), -1);
  EXPECT_EQ(Frac(-1.25), -0.25);
  EXPECT_TRUE(std::signbit(Int(-0.5)));
  EXPECT_EQ(EnsureRange(5, 0, 3), 3);
  EXPECT_EQ(Sign(-0.0), 0);
  EXPECT_TRUE(SameValue(0.1 + 0.2, 0.3));
  EXPECT_FALSE(SameValue(1.0, 1.001));
}

TEST(Random, SeededSequencesRepeatAndStayInTheirRanges) {
  SetRandSeed(42);
  std::vector<double> first;
  for (int i = 0; i < 5; ++i) first.push_back(Random());
  SetRandSeed(42);
  for (double v : first) EXPECT_EQ(Random(), v);

  int buckets[6] = {};
  double lowest = 1, highest = 0;
  for (int i = 0; i < 60000; ++i) {
    const double v = Random();
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
    const int k = Random(6);
    ASSERT_TRUE(k >= 0 && k < 6) << k;
    ++buckets[k];
    const int r = RandomRange(5, -3);
    ASSERT_TRUE(r >= -3 && r < 5) << r;
  }
  EXPECT_GE(lowest, 0.0);
  EXPECT_LT(highest, 1.0);
  EXPECT_LT(lowest, 0.01);
  EXPECT_GT(highest, 0.99);
  for (int b : buckets) EXPECT_NEAR(b, 10000, 600);  // roughly uniform
  EXPECT_EQ(Random(0), 0);
  EXPECT_EQ(Random(-5), 0);
  EXPECT_EQ(RandomRange(7, 7), 7);
  const int wide = RandomRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  EXPECT_LT(wide, std::numeric_limits<int>::max());
  Randomize();
}

TEST(DateTime, EncodeDecodeAndFormat) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  try {
    EncodeTime(24, 0, 0, 0);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Invalid argument to time encode");
  }
  TDateTime t = EncodeDate(2024, 3, 7) + EncodeTime(9, 5, 3, 7);
  EXPECT_EQ(FormatDateTime("hh:nn:ss:zzz", t), "09:05:03:007");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:mm", t), "2024-03-07 09:05");
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s.z", t), "7/3/24 9:5:3.7");
  EXPECT_EQ(FormatDateTime("ddd dddd mmm mmmm \"hh\"", t), "Thu Thursday Mar March hh");
  int h, n, s, ms, y, mo, d;
  // Times just below midnight round to the millisecond, into the next day if need be.
  TDateTime late = EncodeDate(2024, 12, 31) + (MSecsPerDay - 0.2) / MSecsPerDay;
  DecodeDate(late, y, mo, d);
  DecodeTime(late, h, n, s, ms);
  EXPECT_EQ(std::make_tuple(y, mo, d, h, n, s, ms), std::make_tuple(2025, 1, 1, 0, 0, 0, 0));
  EXPECT_EQ(FormatDateTime("hh:nn:ss:zzz", EncodeTime(23, 59, 59, 999)), "23:59:59:999");
  TDateTime now = Now();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
  EXPECT_EQ(Date(), std::floor(Date()));
  EXPECT_LT(Time(), 1.0);
}

TEST(Assertion, ThrowsWithMessageOrDefaultTextPathAndLine) {
  try {
    RTL_ASSERT(1 + 1 == 3);
    FAIL() << "no exception";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message().rfind("Assertion failure (", 0), 0u) << e.Message();
    EXPECT_NE(e.Message().find("SysUtilsTest.cpp, line "), std::string::npos) << e.Message();
  }
  int line = 0;
  try {
    line = __LINE__ + 1;
    RTL_ASSERT(false, "Unbalanced Begin/EndUpdate");
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Unbalanced Begin/EndUpdate ("), std::string::npos);
    EXPECT_NE(e.Message().find(", line " + std::to_string(line) + ")"), std::string::npos);
  }
  EXPECT_NO_THROW(RTL_ASSERT(true, std::string("unused")));
}

TEST(NestingLevel, CountsTheScopeAndRefusesALevelBeyondTheLimit) {
  int depth = 0;
  const auto tooDeep = [] { return EConvertError("too deep"); };
  {
    TNestingLevel first(depth, 2, tooDeep);
    {
      TNestingLevel second(depth, 2, tooDeep);
      EXPECT_EQ(depth, 2);
      try {
        TNestingLevel third(depth, 2, tooDeep);
        FAIL() << "no exception";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "too deep");
      }
      EXPECT_EQ(depth, 2);  // the refused level is not counted, and not taken off again
    }
    EXPECT_EQ(depth, 1);
    try {
      TNestingLevel second(depth, 2, tooDeep);
      throw std::runtime_error("left by an exception");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(depth, 1);
  }
  EXPECT_EQ(depth, 0);
}

TEST(ScopeExit, AFailingCleanupIsToldUnlessAnotherExceptionIsLeaving) {
  const auto failing = [](int& runs) {
    return [&runs] {
      ++runs;
      throw EConvertError("cleanup failed");
    };
  };
  int runs = 0;
  // The normal way out: what the cleanup raises leaves the scope.
  try {
    { TScopeExit guard(failing(runs)); }
    ADD_FAILURE() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "cleanup failed");
  }
  EXPECT_EQ(runs, 1);

  // Unwinding: the exception that leaves the scope goes on, the cleanup still runs.
  try {
    TScopeExit guard(failing(runs));
    throw std::runtime_error("the first failure");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the first failure");
  }
  EXPECT_EQ(runs, 2);

  // Made inside a destructor that runs while an exception unwinds: its own scope is left the
  // normal way, so its failure reaches the destructor (which handles it here).
  struct TTidy {
    int& runs;
    std::string* out;
    ~TTidy() {
      try {
        TScopeExit inner([this] {
          ++runs;
          throw EConvertError("inner cleanup failed");
        });
      } catch (const EConvertError& e) {
        *out = e.Message();
      }
    }
  };
  std::string seen;
  try {
    TTidy tidy{runs, &seen};
    throw std::runtime_error("outer");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(seen, "inner cleanup failed");

  // A cleanup that succeeds runs once on either way out.
  int clean = 0;
  {
    TScopeExit guard([&clean] { ++clean; });
  }
  try {
    TScopeExit guard([&clean] { ++clean; });
    throw std::runtime_error("x");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(clean, 2);
}

TEST(OSError, CarriesCodeAndText) {
  try {
    RaiseLastOSError(2);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_EQ(e.Message(), "System Error.  Code: 2.\nNo such file or directory");
  }
}
