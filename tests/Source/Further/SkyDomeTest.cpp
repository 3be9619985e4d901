// Tests of sky domes: default bands, pole-to-pole bands, star batches, and the earth dome's sun,
// stars and sky colour.
#include <gtest/gtest.h>

#include <cstdio>
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

  // Fading with the sun dims the stars as they are drawn; each keeps its own colour.
  TSkyDomeStar* star = dome.Stars()->Add();
  star->SetColor(0x123456);
  dome.SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  EXPECT_EQ(star->Color(), 0x123456u);
  EXPECT_EQ(dome.StarBrightness(), 0.0f);  // sun at the zenith: stars faded out
  dome.SetSunElevation(-5);
  EXPECT_EQ(star->Color(), 0x123456u);
  EXPECT_EQ(dome.StarBrightness(), 1.0f);

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

namespace {

// A dome of `bands` bands of slices x stacks, named Sky.
void SetBands(TGLSkyDome& dome, int bands, int slices, int stacks) {
  dome.SetName("Sky");
  dome.Bands()->Clear();
  for (int i = 0; i < bands; ++i) {
    TSkyDomeBand* b = dome.Bands()->Add();
    b->SetStartAngle(float(i) * 0.5f);
    b->SetStopAngle(float(i + 1) * 0.5f);
    b->SetSlices(slices);
    b->SetStacks(stacks);
  }
}

// Reads source's stored copy into `into`; the error raised, if any.
std::string ReadInto(TGLSkyDome& source, TGLSkyDome& into) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(&source);
  stream.SetPosition(0);
  try {
    TReader(&stream).ReadRootComponent(&into);
  } catch (const EReadError& e) {
    return e.Message();
  }
  return {};
}

std::string Refusal(double vertices) {
  return Format("TGLSkyDome 'Sky': %.0f vertices, at most %d per stored object", vertices, kMaxStoredVertices);
}

}  // namespace

// A new dome's two bands, as a dome refused on its counts keeps them.
void ExpectDefaultBands(const TGLSkyDome& dome) {
  ASSERT_EQ(dome.Bands()->Count(), 2);
  EXPECT_EQ(dome.Bands()->Items(0)->StopAngle(), 15);
  EXPECT_EQ(dome.Bands()->Items(1)->Stacks(), 4);
  EXPECT_EQ(dome.VertexCount() - dome.Stars()->Count(), TSkyDomeBand::Vertices(12, 1) + TSkyDomeBand::Vertices(12, 4));
  EXPECT_FALSE(dome.ComponentState().Contains(csLoading));
  EXPECT_EQ(dome.Name(), "");
}

// The bands' counts are bounded one by one, their number is not: the dome's total is checked as
// each band is read, so a dome of bands past the limit is refused at the band that passes it,
// before any list is built, and the bands after it are never read. The dome read into keeps the
// bands it had.
TEST_F(SkyDome, StoredBandsAreBoundedInTotalAsTheyAreRead) {
  const double band = TSkyDomeBand::Vertices(1024, 256);  // 524,800: seven fit, eight do not
  ASSERT_LE(7 * band, double(kMaxStoredVertices));
  ASSERT_GT(8 * band, double(kMaxStoredVertices));
  TGLSkyDome source(nullptr);
  SetBands(source, 100, 1024, 256);
  {
    TGLSkyDome into(nullptr);
    EXPECT_EQ(ReadInto(source, into), Refusal(8 * band));
    ExpectDefaultBands(into);
    EXPECT_TRUE(rec.Calls.empty());
  }
  // Ten bands at the per-count limit: two are already too many.
  SetBands(source, 10, kMaxStoredSubdivisions, kMaxStoredSubdivisions);
  {
    TGLSkyDome into(nullptr);
    EXPECT_EQ(ReadInto(source, into),
              Refusal(2 * TSkyDomeBand::Vertices(kMaxStoredSubdivisions, kMaxStoredSubdivisions)));
    ExpectDefaultBands(into);
  }
  SetBands(source, 7, 1024, 256);
  {
    TGLSkyDome into(nullptr);
    EXPECT_EQ(ReadInto(source, into), "");
    EXPECT_EQ(into.Bands()->Count(), 7);
    EXPECT_EQ(into.VertexCount(), 7 * band);
  }
  EXPECT_TRUE(rec.Calls.empty());
}

// Stars count one vertex each, against the same total as the bands.
TEST_F(SkyDome, StoredStarsCountInTheTotal) {
  TGLSkyDome source(nullptr);
  SetBands(source, 2, kMaxStoredSubdivisions, 1021);
  const double bands = source.VertexCount();
  const int room = int(double(kMaxStoredVertices) - bands);
  ASSERT_GT(room, 0);
  for (int i = 0; i < room; ++i) source.Stars()->Add()->SetMagnitude(float(i % 7));
  {
    TGLSkyDome into(nullptr);
    EXPECT_EQ(ReadInto(source, into), "");
    EXPECT_EQ(into.VertexCount(), double(kMaxStoredVertices));
  }
  source.Stars()->Add();
  TGLSkyDome into(nullptr);
  into.Stars()->Add()->SetRA(12);
  EXPECT_EQ(ReadInto(source, into), Refusal(double(kMaxStoredVertices) + 1));
  ExpectDefaultBands(into);  // refused at the star that passed the limit, and left as it was
  ASSERT_EQ(into.Stars()->Count(), 1);
  EXPECT_EQ(into.Stars()->Items(0)->RA(), 12);
}

TEST_F(SkyDome, StoredEarthSkyIsBoundedWithItsBandsAndStars) {
  TGLEarthSkyDome source(nullptr);
  source.SetName("Sky");
  // The sky at the most subdivisions loads alone; over the limit with the bands read before
  // the sky's counts.
  source.SetSlices(kMaxStoredSubdivisions);
  source.SetStacks(kMaxStoredSubdivisions);
  ASSERT_LE(source.VertexCount(), double(kMaxStoredVertices));
  EXPECT_NO_THROW(ReadStoredCopy(&source));
  for (int i = 0; i < 2; ++i) {
    TSkyDomeBand* b = source.Bands()->Add();
    b->SetSlices(kMaxStoredSubdivisions);
    b->SetStacks(kMaxStoredSubdivisions);
  }
  ASSERT_GT(source.VertexCount(), double(kMaxStoredVertices));
  try {
    ReadStoredCopy(&source);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    // Refused at the band count that passes the limit, with the total so far.
    double total = 0;
    ASSERT_EQ(std::sscanf(e.Message().c_str(), "TGLEarthSkyDome 'Sky': %lf vertices", &total), 1) << e.Message();
    EXPECT_GT(total, double(kMaxStoredVertices));
    EXPECT_LE(total, source.VertexCount());
  }
  EXPECT_TRUE(rec.Calls.empty());
}

// The total is kept as bands come, change and go; a twinkling dome, drawn anew every frame,
// draws no more than it.
TEST_F(SkyDome, VertexTotalFollowsTheBandsAndBoundsEveryTwinklingFrame) {
  TGLSkyDome dome(nullptr);
  auto sum = [&dome] {
    double s = dome.Stars()->Count();
    for (int i = 0; i < dome.Bands()->Count(); ++i) s += dome.Bands()->Items(i)->VertexCount();
    return s;
  };
  EXPECT_EQ(dome.VertexCount(), sum());
  TSkyDomeBand* b = dome.Bands()->Add();
  b->SetStartAngle(-90);
  b->SetStopAngle(-30);
  b->SetSlices(9);
  b->SetStacks(0);  // becomes 1
  EXPECT_EQ(dome.VertexCount(), sum());
  b->SetStacks(3);
  for (int i = 0; i < 5; ++i) dome.Stars()->Add()->SetMagnitude(float(i));
  EXPECT_EQ(dome.VertexCount(), sum());
  dome.Bands()->Delete(0);
  EXPECT_EQ(dome.VertexCount(), sum());
  TGLSkyDome copy(nullptr);
  copy.Assign(&dome);
  copy.Bands()->Items(0)->Assign(dome.Bands()->Items(1));
  EXPECT_EQ(copy.VertexCount(),
            dome.VertexCount() - dome.Bands()->Items(0)->VertexCount() + dome.Bands()->Items(1)->VertexCount());
  const double moved = dome.Bands()->Items(1)->VertexCount(), before = copy.VertexCount();
  dome.Bands()->Items(1)->SetCollection(copy.Bands());
  EXPECT_EQ(dome.VertexCount(), sum());
  EXPECT_EQ(copy.VertexCount(), before + moved);
  copy.Bands()->Clear();
  EXPECT_EQ(copy.VertexCount(), copy.Stars()->Count());

  dome.SetOptions(TSkyDomeOptions{sdoTwinkle});
  for (int frame = 0; frame < 2; ++frame) {
    rec.Clear();
    dome.BuildList(rci);
    const double drawn = rec.Count("glVertex3f");
    EXPECT_LE(drawn, dome.VertexCount());
    EXPECT_GE(drawn, 0.8 * dome.VertexCount());
  }
  TGLEarthSkyDome earth(nullptr);
  earth.SetSlices(7);
  earth.SetStacks(4);
  earth.Stars()->Add();
  rec.Clear();
  earth.BuildList(rci);
  EXPECT_EQ(rec.Count("glVertex3f"), earth.VertexCount());
}

// A dome stored with star fading on by the builds that faded the stars' colours themselves: every
// star stored in the grey of the fade at the stored sun elevation (000000 with the sun at 75
// degrees, 030303 at 30). Those builds drew the stars white at night: read now, they are white stars
// again, drawn white with the sun set. Stars of their own colours stay as they are.
TEST_F(SkyDome, DomesStoredWithTheirStarsFadedByTheBuildBeforeReadAsWhiteStars) {
  auto storedThen = [](float elevation, std::vector<TColor> colours) {
    TGLEarthSkyDome then(nullptr);
    then.SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
    then.SetSunElevation(elevation);
    for (TColor c : colours) then.Stars()->Add()->SetColor(c);
    auto copy = std::make_unique<TGLEarthSkyDome>(nullptr);
    TMemoryStream stream;
    TWriter(&stream).WriteRootComponent(&then);
    stream.SetPosition(0);
    TReader(&stream).ReadRootComponent(copy.get());
    return copy;
  };
  auto black = storedThen(75, {0x000000, 0x000000, 0x000000});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(black->Stars()->Items(i)->Color(), clWhite) << i;
  EXPECT_EQ(black->StarBrightness(), 0.0f);
  black->SetSunElevation(-10);
  rec.Calls.clear();
  black->BuildList(rci);
  std::vector<double> last;
  for (const auto& c : rec.Calls)
    if (c.Name == "glColor4fv") last.assign(c.Data.begin(), c.Data.begin() + 3);
  EXPECT_EQ(last, (std::vector<double>{1, 1, 1}));  // the stars, drawn last
  auto dim = storedThen(30, {0x030303, 0x030303});
  EXPECT_EQ(dim->Stars()->Items(1)->Color(), clWhite);

  // Colours of their own, or a grey that is not the fade's, are the user's: kept.
  EXPECT_EQ(storedThen(75, {0x000000, 0x0000FF})->Stars()->Items(0)->Color(), 0x000000u);
  EXPECT_EQ(storedThen(30, {0x000000, 0x000000})->Stars()->Items(0)->Color(), 0x000000u);
}

// A red star faded by a high sun is drawn dark but stays red: with the sun set or fading off it is
// drawn red again, and its colour is stored as it was set.
TEST_F(SkyDome, FadedStarsKeepTheirOwnColours) {
  TGLEarthSkyDome dome(nullptr);
  TSkyDomeStar* red = dome.Stars()->Add();
  red->SetColor(0x0000FF);
  TSkyDomeStar* white = dome.Stars()->Add();
  white->SetColor(0xFFFFFF);
  auto drawn = [&] {
    rec.Calls.clear();
    dome.BuildList(rci);
    // The colour each star is drawn in (the points come after the sky).
    std::vector<std::vector<double>> colours;
    std::vector<double> current;
    bool points = false;
    for (const auto& c : rec.Calls) {
      if (c.Name == "glBegin") points = c.Args[0] == GL_POINTS;
      if (c.Name == "glColor4fv") current.assign(c.Data.begin(), c.Data.begin() + 3);
      if (points && c.Name == "glVertex3f") colours.push_back(current);
    }
    EXPECT_EQ(colours.size(), 2u);
    colours.resize(2);
    return colours;
  };
  dome.SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  dome.SetSunElevation(75);
  EXPECT_EQ(drawn()[0], (std::vector<double>{0, 0, 0}));
  dome.SetSunElevation(30);  // (1 - 1/3)^11 = 0.0116: 3 of 255
  const auto dim = drawn();
  EXPECT_NEAR(dim[0][0], 3.0 / 255, 1e-6);
  EXPECT_EQ(dim[0][1], 0.0);
  EXPECT_NEAR(dim[1][1], 3.0 / 255, 1e-6);
  EXPECT_EQ(red->Color(), 0x0000FFu);
  dome.SetExtendedOptions(TEarthSkydomeOptions{});
  EXPECT_EQ(drawn()[0], (std::vector<double>{1, 0, 0}));
  dome.SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  dome.SetSunElevation(-10);
  EXPECT_EQ(drawn()[0], (std::vector<double>{1, 0, 0}));
  EXPECT_EQ(drawn()[1], (std::vector<double>{1, 1, 1}));

  // The stored colour is the star's own, whatever the sun did.
  dome.SetSunElevation(75);
  TGLEarthSkyDome copy(nullptr);
  {
    TMemoryStream stream;
    TWriter(&stream).WriteRootComponent(&dome);
    stream.SetPosition(0);
    TReader(&stream).ReadRootComponent(&copy);
  }
  ASSERT_EQ(copy.Stars()->Count(), 2);
  EXPECT_EQ(copy.Stars()->Items(0)->Color(), 0x0000FFu);
  EXPECT_EQ(copy.StarBrightness(), 0.0f);
}
