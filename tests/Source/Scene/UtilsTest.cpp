// Tests of the engine utilities: powers of two, the square-root table, string files, colour
// values, rectangles and the platform helpers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLUtils.h"
#include "rtl/SysUtils.h"
#include "tests/common/TempFolder.h"

TEST(Utils, NextPowerOfTwo) {
  const struct {
    int n, expected;
  } cases[] = {
      {INT_MIN, 1},      {-5, 1}, {0, 1}, {1, 1}, {2, 2}, {3, 4}, {512, 512}, {513, 1024}, {(1 << 29) + 1, 1 << 30},
      {1 << 30, 1 << 30}};
  for (const auto& c : cases) EXPECT_EQ(NextPowerOfTwo(c.n), c.expected) << c.n;
  // Nothing in range is at least these: refused, never a smaller power.
  for (const int n : {(1 << 30) + 1, INT_MAX}) EXPECT_THROW(NextPowerOfTwo(n), ERangeError) << n;
}

TEST(Utils, Sqrt255Table) {
  const uint8_t* t = Sqrt255Table();
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[64], 127);
  EXPECT_EQ(t[255], 255);
  for (int i = 1; i < 256; ++i) EXPECT_GE(t[i], t[i - 1]);
}

TEST(Utils, StringFiles) {
  TTestFolder dir("utils");
  const std::string name = dir / "strings";
  std::string bytes("line 1\r\n\0binary\xff", 16);
  WriteStringFile(name, bytes);
  EXPECT_EQ(FileSize64(name), 16);
  EXPECT_EQ(ReadStringFile(name), bytes);
  WriteStringFile(name, "");  // truncates
  EXPECT_EQ(FileSize64(name), 0);
  EXPECT_EQ(ReadStringFile(name), "");
  std::remove(name.c_str());
  EXPECT_EQ(ReadStringFile(name), "");
  EXPECT_EQ(FileSize64(name), 0);
}

TEST(Utils, ColourValues) {
  EXPECT_EQ(MakeRGBColor(1, 2, 3), 0x030201u);
  EXPECT_EQ(ResolveSystemColor(0x123456), 0x123456u);
  EXPECT_EQ(ResolveSystemColor(0xFF000000u + COLOR_WINDOW), 0xFFFFFFu);
  EXPECT_EQ(ResolveSystemColor(0xFF000000u + 200), 0u);  // unknown index

  InitSystemColorVectors();
  const TVector4f& face = SystemColorVectors[COLOR_BTNFACE];
  const TColor btnFace = GetSysColor(COLOR_BTNFACE);
  EXPECT_FLOAT_EQ(face[0], GetRedValue(btnFace) / 255.0f);
  EXPECT_FLOAT_EQ(face[2], GetBlueValue(btnFace) / 255.0f);
  EXPECT_EQ(face[3], 1);
  EXPECT_EQ(SystemColorVectors[COLOR_WINDOWTEXT][0], 0);
}

TEST(Utils, Rectangles) {
  TGLRect r = MakeGLRect(0, 0, 10, 10);
  GrowRectClamped(r, 2, 3);
  EXPECT_EQ(r, MakeGLRect(-2, -3, 12, 13));
  r = MakeGLRect(0, 0, 10, 10);
  GrowRectClamped(r, -6, -1);  // narrower than nothing: collapses at the new left edge
  EXPECT_EQ(r, MakeGLRect(6, 1, 6, 9));

  r = MakeGLRect(0, 0, 10, 10);
  ClipRectToRect(r, MakeGLRect(10, 0, 20, 10));  // sharing an edge
  EXPECT_EQ(r, MakeGLRect(10, 0, 10, 10));
  r = MakeGLRect(0, 0, 10, 10);
  ClipRectToRect(r, MakeGLRect(11, 0, 20, 10));
  EXPECT_EQ(r, MakeGLRect(0, 0, 0, 0));
  r = MakeGLRect(-5, 2, 30, 8);
  ClipRectToRect(r, MakeGLRect(0, 0, 20, 10));
  EXPECT_EQ(r, MakeGLRect(0, 2, 20, 8));
}

TEST(Utils, PlatformHelpers) {
  errno = ENOENT;
  try {
    RaiseOSErrorMessage();
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), "OS Error : " + SysErrorMessage(ENOENT));
  }
  int64_t f = 0, a = 0, b = 0;
  EXPECT_TRUE(ReadPerformanceFrequency(f));
  EXPECT_GT(f, 0);
  ReadPerformanceCounter(a);
  ReadPerformanceCounter(b);
  EXPECT_GE(b, a);
}
