// Tests of sky domes: default bands, pole-to-pole bands, star batches, and the earth dome's sun,
// stars and sky colour.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Source/Further/GLSkydome.h"
#include "Source/Objects/GLObjects.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/StoredCopy.h"

namespace {

// The primitive of every batch and its vertex count.
std::vector<std::pair<int, int>> Batches(const TGLRecorder& rec) {
  std::vector<std::pair<int, int>> out;
  for (const auto& c : rec.Calls) {
    if (c.Name == "glBegin") out.emplace_back(int(c.Args[0]), 0);
    if (c.Name == "glVertex3f") ++out.back().second;
  }
  return out;
}

struct SkyDome : ::testing::Test {
  void SetUp() override { RegisterGLSkydomeClasses(); }
  TGLRecorder rec;
  TRenderContextInfo rci;
};

}  // namespace

TEST_F(SkyDome, DefaultBandsAndDisplayTexts) {
  TGLSkyDome dome(nullptr);
  ASSERT_EQ(dome.Bands()->Count(), 2);
  EXPECT_EQ(dome.Bands()->Items(1)->DisplayName(), "1: 15.0");
  EXPECT_TRUE(dome.ObjectStyle() & osDirectDraw);
  dome.BuildList(rci);
  // 0-15: one strip; 15-90 in four stacks: three strips, then a fan closing at the zenith.
  auto b = Batches(rec);
  ASSERT_EQ(b.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b[size_t(i)], (std::pair<int, int>{GL_TRIANGLE_STRIP, 26}));
  EXPECT_EQ(b[4], (std::pair<int, int>{GL_TRIANGLE_FAN, 14}));
  auto v = rec.CallsTo("glVertex3f");
  EXPECT_EQ(v[26 * 4].Args, (std::vector<double>{0, 0, 1}));
  // First strip: white at the horizon, blue at 15 degrees.
  auto colors = rec.CallsTo("glColor4fv");
  EXPECT_EQ(colors[0].Data, (std::vector<double>{1, 1, 1, 1}));
  EXPECT_EQ(colors[1].Data, (std::vector<double>{0, 0, 1, 1}));
  EXPECT_EQ(rec.Count("glPointSize"), 0);  // no stars, no points
  EXPECT_EQ(rec.Count("glDepthMask"), 2);

  // Twinkling makes the dome direct-draw; clearing it drops the style again.
  dome.SetOptions(TSkyDomeOptions{sdoTwinkle});
  EXPECT_TRUE(dome.ObjectStyle() & osDirectDraw);
  dome.SetOptions(TSkyDomeOptions{});
  EXPECT_FALSE(dome.ObjectStyle() & osDirectDraw);
}

TEST_F(SkyDome, PoleToPoleBandIsOneFanFromBelow) {
  TGLSkyDome dome(nullptr);
  dome.Bands()->Clear();
  TSkyDomeBand* band = dome.Bands()->Add();
  band->SetStartAngle(-90);
  band->SetStopAngle(90);
  band->SetSlices(4);
  dome.BuildList(rci);
  auto b = Batches(rec);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0], (std::pair<int, int>{GL_TRIANGLE_FAN, 6}));
  EXPECT_EQ(rec.CallsTo("glVertex3f")[0].Args, (std::vector<double>{0, 0, -1}));
}

TEST_F(SkyDome, StarSizesRestartTheBatch) {
  TGLSkyDome dome(nullptr);
  dome.Bands()->Clear();
  const float mags[] = {3.0f, 3.2f, 2.9f, 0.0f, 4.0f};
  for (float m : mags) {
    TSkyDomeStar* s = dome.Stars()->Add();
    s->SetMagnitude(m);
    s->SetColor(0x0000FF);
  }
  dome.Stars()->Items(0)->SetRA(10);
  dome.Stars()->Items(0)->SetDec(20);
  EXPECT_EQ(dome.Stars()->Items(0)->DisplayName(), "RA:  10.0 / Dec:  20.0");
  dome.BuildList(rci);
  std::vector<double> sizes;
  for (const auto& c : rec.CallsTo("glPointSize")) sizes.push_back(c.Args[0]);
  // Buckets 15 and 13 share the small size; 16 -> 1.6, 45 -> 4.5, then small again; 1 at the end.
  ASSERT_EQ(sizes.size(), 5u);
  EXPECT_FLOAT_EQ(float(sizes[0]), 1.5f);
  EXPECT_FLOAT_EQ(float(sizes[1]), 1.6f);
  EXPECT_FLOAT_EQ(float(sizes[2]), 4.5f);
  EXPECT_FLOAT_EQ(float(sizes[3]), 1.5f);
  EXPECT_EQ(sizes[4], 1.0);
  // Sizes change only outside a batch.
  bool inBatch = false;
  for (const auto& c : rec.Calls) {
    if (c.Name == "glBegin") inBatch = true;
    if (c.Name == "glEnd") inBatch = false;
    if (c.Name == "glPointSize") {
      EXPECT_FALSE(inBatch);
    }
  }
  EXPECT_EQ(rec.Count("glColor4fv"), 1);  // one colour for all five
  auto v = rec.CallsTo("glVertex3f");
  ASSERT_EQ(v.size(), 5u);
  EXPECT_NEAR(v[0].Args[2], std::sin(20 * M_PI / 180), 1e-6);
}

// A stored magnitude can be any float. Far brighter than any star, it takes the largest size
// instead of converting out of the int range; not a number, it is drawn as a small star.
TEST_F(SkyDome, StarsOfAnyStoredMagnitudeDraw) {
  TGLSkyDome dome(nullptr);
  dome.Bands()->Clear();
  for (float m : {-1e30f, std::nanf(""), 1e30f}) dome.Stars()->Add()->SetMagnitude(m);
  dome.BuildList(rci);
  std::vector<double> sizes;
  for (const auto& c : rec.CallsTo("glPointSize")) sizes.push_back(c.Args[0]);
  ASSERT_EQ(sizes.size(), 3u);  // bright, then the small ones in one batch, then the reset
  EXPECT_FLOAT_EQ(float(sizes[0]), 100000.0f);
  EXPECT_FLOAT_EQ(float(sizes[1]), 1.5f);
  EXPECT_EQ(rec.CallsTo("glVertex3f").size(), 3u);
}

TEST_F(SkyDome, EarthDomeSunAndStars) {
  TGLEarthSkyDome dome(nullptr);
  EXPECT_EQ(dome.Bands()->Count(), 0);
  dome.SetSunElevation(100);
  EXPECT_EQ(dome.SunElevation(), 90.0f);

  TSkyDomeStar* star = dome.Stars()->Add();
  star->SetColor(0x123456);
  dome.SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  EXPECT_EQ(star->Color(), 0u);  // sun at the zenith: stars faded out
  dome.SetSunElevation(-5);
  EXPECT_EQ(star->Color(), 0xFFFFFFu);

  // The turn at the pole happens once, not on every later change.
  dome.SetExtendedOptions(TEarthSkydomeOptions{esoRotateOnTwelveHours});
  dome.SetSunElevation(90);
  EXPECT_EQ(star->RA(), 180.0f);
  dome.HazeColor()->SetRed(0.5f);
  dome.SetTurbidity(200);  // beyond the clear-air limit: still finite colours
  EXPECT_EQ(star->RA(), 180.0f);
  EXPECT_EQ(dome.RollAngle(), 180.0f);
  const TVector4f c = dome.CalculateColor(TAffineVector{1, 0, 0});
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(c[i]));

  // The sky: a deep-coloured fan below, strips up to the last ring, a fan at the zenith.
  dome.SetSlices(4);
  dome.SetStacks(3);
  dome.BuildList(rci);
  auto b = Batches(rec);
  ASSERT_EQ(b.size(), 4u + 1u);  // and the star batch
  EXPECT_EQ(b[0], (std::pair<int, int>{GL_TRIANGLE_FAN, 6}));
  EXPECT_EQ(b[1], (std::pair<int, int>{GL_TRIANGLE_STRIP, 10}));
  EXPECT_EQ(b[3], (std::pair<int, int>{GL_TRIANGLE_FAN, 6}));
  EXPECT_EQ(b[4], (std::pair<int, int>{GL_POINTS, 1}));
}

TEST_F(SkyDome, EarthSkyColourFollowsTheSun) {
  TGLEarthSkyDome dome(nullptr);
  dome.SetSunElevation(45);
  const TVector4f towardsSun = dome.CalculateColor(TAffineVector{0.7071f, 0, 0.7071f});
  const TVector4f away = dome.CalculateColor(TAffineVector{-0.7071f, 0, 0.7071f});
  // Near the sun its (almost white) colour; opposite, well above the haze, the sky colour.
  EXPECT_NEAR(towardsSun[2], 1.0, 0.02);
  EXPECT_NEAR(towardsSun[1], 1.0, 0.02);
  EXPECT_NEAR(away[0], 0.45, 0.01);
  EXPECT_NEAR(away[1], 0.6, 0.01);
}

// A stored dome could ask for 2^31 - 1 slices, and its first frame would never end: the band's
// and the earth dome's counts are bounded when read (code may still set more).
TEST_F(SkyDome, SubdivisionCountsAreBoundedWhenRead) {
  RegisterGLColorClasses();
  TGLSkyDome dome(nullptr);
  TSkyDomeBand* band = dome.Bands()->Items(0);
  for (void (TSkyDomeBand::*set)(int) : {&TSkyDomeBand::SetSlices, &TSkyDomeBand::SetStacks}) {
    (band->*set)(kMaxStoredSubdivisions);
    EXPECT_NO_THROW(ReadStoredCopy(&dome));
    (band->*set)(kMaxStoredSubdivisions + 1);
    EXPECT_THROW(ReadStoredCopy(&dome), EReadError);
    (band->*set)(1);
  }
  TGLEarthSkyDome earth(nullptr);
  for (void (TGLEarthSkyDome::*set)(int) : {&TGLEarthSkyDome::SetSlices, &TGLEarthSkyDome::SetStacks}) {
    (earth.*set)(kMaxStoredSubdivisions);
    EXPECT_NO_THROW(ReadStoredCopy(&earth));
    (earth.*set)(2147483647);
    EXPECT_THROW(ReadStoredCopy(&earth), EReadError);
    (earth.*set)(4);
  }
}
