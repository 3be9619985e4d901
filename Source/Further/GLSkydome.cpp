// Sky domes: latitude bands and stars drawn around the camera, and the sky coloured by the sun.
#include "Source/Further/GLSkydome.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "rtl/Math.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

constexpr double kDegToRad = std::numbers::pi / 180;

TVector4f Lerp(const TVector4f& a, const TVector4f& b, float t) { return VectorLerp(a, b, t); }

// The point at elevation e and azimuth a (degrees).
TAffineVector DomePoint(double e, double a) {
  const double er = e * kDegToRad, ar = a * kDegToRad;
  return {float(std::cos(ar) * std::cos(er)), float(std::sin(ar) * std::cos(er)), float(std::sin(er))};
}

void Vertex(const TAffineVector& p) { GL.glVertex3f(p[0], p[1], p[2]); }

// Colour components as RGB with alpha 1, scaled.
TVector4f ColorOf(TColor c, float scale = 1) {
  return {float(uint8_t(c)) / 255 * scale, float(uint8_t(c >> 8)) / 255 * scale, float(uint8_t(c >> 16)) / 255 * scale,
          1};
}

}  // namespace

// --- TSkyDomeBand

TSkyDomeBand::TSkyDomeBand(TCollection* ACollection)
    : TCollectionItem(ACollection),
      startColor_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 1, 1}, [this](TObject*) { Changed(false); })),
      stopColor_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 1, 1}, [this](TObject*) { Changed(false); })) {}

TSkyDomeBand::~TSkyDomeBand() {
  // Leaves the bands while still a band, so that their total loses this band's vertices (the
  // base destructor would report an item that is no longer one).
  try {
    SetCollection(nullptr);
  } catch (...) {
    // Update handlers may throw; the band is gone regardless.
  }
}

void TSkyDomeBand::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TSkyDomeBand*>(Source)) {
    startAngle_ = s->startAngle_;
    stopAngle_ = s->stopAngle_;
    startColor_->Initialize(s->startColor_->Color());
    stopColor_->Initialize(s->stopColor_->Color());
    SetCounts(s->slices_, s->stacks_);
    Changed(false);
  } else {
    inherited::Assign(Source);
  }
}

std::string TSkyDomeBand::GetDisplayName() { return Format("%d: %.1f", Index(), double(startAngle_)); }

#define BAND_SETTER(Setter, T, field, fix) \
  void TSkyDomeBand::Setter(T v) {         \
    fix;                                   \
    if (v == field) return;                \
    field = v;                             \
    Changed(false);                        \
  }
BAND_SETTER(SetStartAngle, float, startAngle_, v = std::clamp(v, -90.0f, 90.0f))
BAND_SETTER(SetStopAngle, float, stopAngle_, v = std::clamp(v, -90.0f, 90.0f))
#undef BAND_SETTER

// At least one slice and one stack: fewer would divide by zero.
void TSkyDomeBand::SetSlices(int v) {
  if (v == slices_) return;
  SetCounts(v, stacks_);
  Changed(false);
}

void TSkyDomeBand::SetStacks(int v) {
  if (v == stacks_) return;
  SetCounts(slices_, v);
  Changed(false);
}

double TSkyDomeBand::Vertices(int slices, int stacks) noexcept { return StripVertices(stacks, slices); }

void TSkyDomeBand::SetCounts(int slices, int stacks) {
  auto* bands = dynamic_cast<TSkyDomeBands*>(Collection());
  TGLSkyDome* dome = bands ? bands->Dome() : nullptr;
  if (dome) {
    CheckStoredSubdivisions(*dome, slices);
    CheckStoredSubdivisions(*dome, stacks);
  }
  slices = std::max(slices, 1);
  stacks = std::max(stacks, 1);
  const double change = Vertices(slices, stacks) - VertexCount();
  if (dome) CheckStoredVertices(*dome, dome->VertexCount() + change);
  slices_ = slices;
  stacks_ = stacks;
  if (bands) bands->vertices_ += change;
}

void TSkyDomeBand::RenderBand(float e0, float e1, const TVector4f& c0, const TVector4f& c1) const {
  const double step = 360.0 / slices_;
  if (e0 == -90) {
    GL.glBegin(GL_TRIANGLE_FAN);
    GL.glColor4fv(c0.V);
    GL.glVertex3f(0, 0, -1);
    GL.glColor4fv(c1.V);
    for (int i = 0; i <= slices_; ++i) Vertex(DomePoint(e1, i * step));
    GL.glEnd();
  } else if (e1 == 90) {
    GL.glBegin(GL_TRIANGLE_FAN);
    GL.glColor4fv(c1.V);
    GL.glVertex3f(0, 0, 1);
    GL.glColor4fv(c0.V);
    for (int i = slices_; i >= 0; --i) Vertex(DomePoint(e0, i * step));
    GL.glEnd();
  } else {
    GL.glBegin(GL_TRIANGLE_STRIP);
    for (int i = 0; i <= slices_; ++i) {
      GL.glColor4fv(c0.V);
      Vertex(DomePoint(e0, i * step));
      GL.glColor4fv(c1.V);
      Vertex(DomePoint(e1, i * step));
    }
    GL.glEnd();
  }
}

void TSkyDomeBand::BuildList(TRenderContextInfo&) {
  if (startAngle_ == stopAngle_) return;
  const TVector4f& c0 = startColor_->Color();
  const TVector4f& c1 = stopColor_->Color();
  for (int i = 0; i < stacks_; ++i) {
    const float t0 = float(i) / float(stacks_), t1 = float(i + 1) / float(stacks_);
    RenderBand(startAngle_ + (stopAngle_ - startAngle_) * t0, startAngle_ + (stopAngle_ - startAngle_) * t1,
               Lerp(c0, c1, t0), Lerp(c0, c1, t1));
  }
}

TSkyDomeBands::TSkyDomeBands(TGLSkyDome* AOwner)
    : TOwnedCollection(AOwner, TSkyDomeBand::StaticClass()), dome_(AOwner) {}

void TSkyDomeBands::Update(TCollectionItem* Item) {
  inherited::Update(Item);
  if (dome_) dome_->MarkStructureChanged();
}

void TSkyDomeBands::BuildList(TRenderContextInfo& rci) {
  for (int i = 0; i < Count(); ++i) Items(i)->BuildList(rci);
}

void TSkyDomeBands::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  inherited::Notify(Item, Action);
  // Every band that leaves is extracted (a deleted one too, from its destructor).
  auto* band = dynamic_cast<TSkyDomeBand*>(Item);
  if (!band) return;
  if (Action == cnAdded)
    vertices_ += band->VertexCount();
  else if (Action == cnExtracting)
    vertices_ -= band->VertexCount();
}

void TSkyDomeBands::Added(TCollectionItem* Item) {
  inherited::Added(Item);
  if (dome_) CheckStoredVertices(*dome_, dome_->VertexCount());
}

// --- stars

void TSkyDomeStar::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TSkyDomeStar*>(Source)) {
    ra_ = s->ra_;
    dec_ = s->dec_;
    magnitude_ = s->magnitude_;
    color_ = s->color_;
    Changed(false);
  } else {
    inherited::Assign(Source);
  }
}

std::string TSkyDomeStar::GetDisplayName() { return Format("RA: %5.1f / Dec: %5.1f", double(ra_), double(dec_)); }

#define STAR_SETTER(Setter, T, field) \
  void TSkyDomeStar::Setter(T v) {    \
    if (v == field) return;           \
    field = v;                        \
    Changed(false);                   \
  }
STAR_SETTER(SetRA, float, ra_)
STAR_SETTER(SetDec, float, dec_)
STAR_SETTER(SetMagnitude, float, magnitude_)
STAR_SETTER(SetColor, TColor, color_)
#undef STAR_SETTER

void TSkyDomeStar::ComputeCacheCoord() { cacheCoord_ = DomePoint(dec_, ra_); }

TSkyDomeStars::TSkyDomeStars(TGLSkyDome* AOwner)
    : TOwnedCollection(AOwner, TSkyDomeStar::StaticClass()), dome_(AOwner) {}

void TSkyDomeStars::Update(TCollectionItem* Item) {
  inherited::Update(Item);
  if (dome_) dome_->MarkStructureChanged();
}

void TSkyDomeStars::Added(TCollectionItem* Item) {
  inherited::Added(Item);
  if (dome_) CheckStoredVertices(*dome_, dome_->VertexCount());
}

void TSkyDomeStars::BuildList(TRenderContextInfo&, bool twinkle, float brightness) {
  if (Count() == 0) return;
  for (int i = 0; i < Count(); ++i) Items(i)->ComputeCacheCoord();
  GL.glPushAttrib(GL_ENABLE_BIT);
  GL.glEnable(GL_POINT_SMOOTH);
  GL.glEnable(GL_ALPHA_TEST);
  GL.glAlphaFunc(GL_NOTEQUAL, 0);
  GL.glEnable(GL_BLEND);
  GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  constexpr int kNone = -1000000;
  int bucket = kNone;
  bool small = false, open = false, first = true;
  TColor lastColor = 0;
  auto restart = [&open](float size) {
    if (open) GL.glEnd();
    GL.glPointSize(size);
    GL.glBegin(GL_POINTS);
    open = true;
  };
  for (int i = 0; i < Count(); ++i) {
    TSkyDomeStar* star = Items(i);
    // A stored magnitude can be any float: beyond the range of sizes, or not a number, it
    // falls in the end buckets instead of converting out of range.
    const double scaled = (4.5 - double(star->Magnitude())) * 10;
    const int b = std::isnan(scaled) ? 0 : int(std::nearbyint(std::clamp(scaled, -1e6, 1e6)));
    if (b != bucket) {
      if (b >= 16) {
        restart(float(b) * 0.1f);
        small = false;
      } else if (!small) {
        restart(1.5f);  // all small stars share one size
        small = true;
      }
      bucket = b;
    }
    if (twinkle) {
      const TVector4f c = ColorOf(star->Color(), brightness * float(0.4 + 0.6 * Random()));
      GL.glColor4fv(c.V);
    } else if (first || star->Color() != lastColor) {
      const TVector4f c = ColorOf(star->Color(), brightness);
      GL.glColor4fv(c.V);
    }
    first = false;
    lastColor = star->Color();
    Vertex(star->CacheCoord());
  }
  if (open) GL.glEnd();
  GL.glPointSize(1);
  GL.glPopAttrib();
  GL.glAlphaFunc(GL_GREATER, 0);
}

// --- TGLSkyDome

TGLSkyDome::TGLSkyDome(TComponent* AOwner)
    : TGLCameraInvariantObject(AOwner),
      bands_(std::make_unique<TSkyDomeBands>(this)),
      stars_(std::make_unique<TSkyDomeStars>(this)) {
  SetCamInvarianceMode(cimPosition);
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
  TSkyDomeBand* b = bands_->Add();
  b->SetStartAngle(0);
  b->StartColor()->Initialize(TVector4f{1, 1, 1, 1});
  b->SetStopAngle(15);
  b = bands_->Add();
  b->SetStartAngle(15);
  b->SetStopAngle(90);
  b->SetStacks(4);
  b->StopColor()->Initialize(TVector4f{0.137255f, 0.137255f, 0.556863f, 1});
}

TGLSkyDome::~TGLSkyDome() = default;

void TGLSkyDome::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLSkyDome*>(Source)) {
    bands_->Assign(s->bands_.get());
    stars_->Assign(s->stars_.get());
    options_ = s->options_;
  }
  inherited::Assign(Source);
}

void TGLSkyDome::SetOptions(TSkyDomeOptions v) {
  if (v == options_) return;
  options_ = v;
  if (v.Contains(sdoTwinkle)) {
    objectStyle_ |= osDirectDraw;
  } else {
    objectStyle_ &= ~osDirectDraw;
    DestroyHandle();
  }
  MarkStructureChanged();
}

double TGLSkyDome::VertexCount() const { return bands_->VertexCount() + stars_->Count(); }

void TGLSkyDome::BuildList(TRenderContextInfo& rci) {
  GL.glPushMatrix();
  // The bands' and stars' colours stay inside: what is drawn next has the current colour as before.
  GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
  GL.glDisable(GL_LIGHTING);
  GL.glDisable(GL_DEPTH_TEST);
  GL.glDisable(GL_FOG);
  GL.glDisable(GL_CULL_FACE);
  if (AlphaTestOff()) GL.glDisable(GL_ALPHA_TEST);
  GL.glDepthMask(GL_FALSE);
  if (rci.buffer && rci.buffer->Camera()) {
    const TGLCamera* cam = rci.buffer->Camera();
    const float f = 0.9f * (cam->NearPlane() + cam->DepthOfView());
    GL.glScalef(f, f, f);
  }
  DrawSky(rci);
  bands_->BuildList(rci);
  stars_->BuildList(rci, options_.Contains(sdoTwinkle), StarBrightness());
  GL.glDepthMask(GL_TRUE);
  GL.glPopAttrib();
  GL.glPopMatrix();
}

// --- TGLEarthSkyDome

TGLEarthSkyDome::TGLEarthSkyDome(TComponent* AOwner) : TGLSkyDome(AOwner) {
  auto onChange = [this](TObject* s) { ColorChanged(s); };
  sunZenithColor_ = std::make_unique<TGLColor>(this, TVector4f{1, 1, 1, 1}, onChange);
  sunDawnColor_ = std::make_unique<TGLColor>(this, TVector4f{1, 0.5f, 0, 0}, onChange);
  hazeColor_ = std::make_unique<TGLColor>(this, TVector4f{0.9f, 0.95f, 1, 0}, onChange);
  skyColor_ = std::make_unique<TGLColor>(this, TVector4f{0.45f, 0.6f, 0.9f, 0}, onChange);
  nightColor_ = std::make_unique<TGLColor>(this, TVector4f{0, 0, 0, 0}, onChange);
  deepColor_ = std::make_unique<TGLColor>(this, TVector4f{0, 0.2f, 0.4f, 0}, onChange);
  Bands()->Clear();
  RebuildColorCache();
}

TGLEarthSkyDome::~TGLEarthSkyDome() = default;

void TGLEarthSkyDome::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLEarthSkyDome*>(Source)) {
    sunElevation_ = s->sunElevation_;
    turbidity_ = s->turbidity_;
    sunZenithColor_->Initialize(s->sunZenithColor_->Color());
    sunDawnColor_->Initialize(s->sunDawnColor_->Color());
    hazeColor_->Initialize(s->hazeColor_->Color());
    skyColor_->Initialize(s->skyColor_->Color());
    nightColor_->Initialize(s->nightColor_->Color());
    deepColor_->Initialize(s->deepColor_->Color());
    extendedOptions_ = s->extendedOptions_;
    slices_ = s->slices_;
    stacks_ = s->stacks_;
  }
  inherited::Assign(Source);
  RebuildColorCache();
}

void TGLEarthSkyDome::ColorChanged(TObject*) { RebuildColorCache(); }

void TGLEarthSkyDome::SetSunElevation(float v) {
  v = std::clamp(v, -90.0f, 90.0f);
  if (v == sunElevation_) return;
  sunElevation_ = v;
  if (extendedOptions_.Contains(esoRotateOnTwelveHours) && (v == 90 || v == -90)) {
    SetRollAngle(RollAngle() + 180);
    for (int i = 0; i < Stars()->Count(); ++i) Stars()->Items(i)->SetRA(Stars()->Items(i)->RA() + 180);
  }
  RebuildColorCache();
}

void TGLEarthSkyDome::SetTurbidity(float v) {
  if (v == turbidity_) return;
  turbidity_ = v;
  RebuildColorCache();
}

void TGLEarthSkyDome::SetExtendedOptions(TEarthSkydomeOptions v) {
  if (v == extendedOptions_) return;
  extendedOptions_ = v;
  RebuildColorCache();
}

namespace {

// The fan below the horizon, the rings' strips, the fan at the zenith.
double EarthSkyVertices(int slices, int stacks) { return StripVertices(stacks, slices) + 2; }

}  // namespace

double TGLEarthSkyDome::VertexCount() const { return inherited::VertexCount() + EarthSkyVertices(slices_, stacks_); }

void TGLEarthSkyDome::CheckStoredSky(int slices, int stacks) const {
  CheckStoredVertices(*this, inherited::VertexCount() + EarthSkyVertices(slices, stacks));
}

void TGLEarthSkyDome::SetSlices(int v) {
  CheckStoredSubdivisions(*this, v);
  v = std::max(v, 1);
  if (v == slices_) return;
  CheckStoredSky(v, stacks_);
  slices_ = v;
  MarkStructureChanged();
}

void TGLEarthSkyDome::SetStacks(int v) {
  CheckStoredSubdivisions(*this, v);
  v = std::max(v, 1);
  if (v == stacks_) return;
  CheckStoredSky(slices_, v);
  stacks_ = v;
  MarkStructureChanged();
}

void TGLEarthSkyDome::RebuildColorCache() {
  const double a = (90.0 - sunElevation_) * kDegToRad;
  sunColor_ = Lerp(sunZenithColor_->Color(), sunDawnColor_->Color(), float(std::exp(-6 * (std::numbers::pi / 2 - a))));
  const double c = 1 - std::cos(a - 0.5);
  const float t = float(c * c);
  hazeCache_ = Lerp(hazeColor_->Color(), nightColor_->Color(), t);
  skyCache_ = Lerp(skyColor_->Color(), nightColor_->Color(), t);
  // A turbidity above 121 would take the root of a negative number.
  const double clear = std::max(0.0, 121.0 - turbidity_);
  k1_ = float(-2 * std::sqrt(clear));
  k2_ = float(-clear);
  sunDirection_ = DomePoint(sunElevation_, 0);
  // The stars' fade, in 256 steps; applied as they are drawn, so that each keeps its own colour.
  const double b = sunElevation_ <= 0 ? 1.0 : std::pow(1 - sunElevation_ / 90.0, 11);
  starFade_ = float(std::nearbyint(b * 255)) / 255;
  MarkStructureChanged();
}

// A dome stored with star fading on by builds that applied the fade to the stars' colours holds
// every star in the one grey of the fade at the stored sun elevation (000000 with the sun high).
// Those builds drew its stars white, faded: they are read as white stars, so that the dome
// looks as it did.
void TGLEarthSkyDome::Loaded() {
  inherited::Loaded();
  if (!extendedOptions_.Contains(esoFadeStarsWithSun) || Stars()->Count() == 0) return;
  const auto g = TColor(std::nearbyint(starFade_ * 255));
  const TColor faded = g | g << 8 | g << 16;
  for (int i = 0; i < Stars()->Count(); ++i)
    if (Stars()->Items(i)->Color() != faded) return;
  for (int i = 0; i < Stars()->Count(); ++i) Stars()->Items(i)->SetColor(clWhite);
}

float TGLEarthSkyDome::StarBrightness() const {
  return extendedOptions_.Contains(esoFadeStarsWithSun) ? starFade_ : 1.0f;
}

TVector4f TGLEarthSkyDome::CalculateColor(const TAffineVector& dir) const {
  const double theta = std::acos(std::clamp(double(dir[2]), -1.0, 1.0));
  const double d = 1 - (dir[0] * sunDirection_[0] + dir[1] * sunDirection_[1] + dir[2] * sunDirection_[2]);
  const double h = std::numbers::pi / 2 - theta;
  TVector4f col = Lerp(skyCache_, hazeCache_, float(std::clamp(std::exp(k1_ * h), 0.0, 1.0)));
  return Lerp(col, sunColor_, float(std::clamp(1.1 * std::exp(k2_ * d * (1 + h)), 0.0, 1.0)));
}

void TGLEarthSkyDome::DrawSky(TRenderContextInfo&) {
  const double step = 360.0 / slices_;
  // Below the horizon: one fan in the deep colour.
  GL.glBegin(GL_TRIANGLE_FAN);
  GL.glColor4fv(deepColor_->Color().V);
  GL.glVertex3f(0, 0, -1);
  for (int i = 0; i <= slices_; ++i) Vertex(DomePoint(0, i * step));
  GL.glEnd();
  auto colored = [this](const TAffineVector& p) {
    GL.glColor4fv(CalculateColor(p).V);
    Vertex(p);
  };
  // Rings from the horizon up; the top ring closes with a fan at the zenith.
  for (int k = 0; k + 1 < stacks_; ++k) {
    const double e0 = 90.0 * k / stacks_, e1 = 90.0 * (k + 1) / stacks_;
    GL.glBegin(GL_TRIANGLE_STRIP);
    for (int i = 0; i <= slices_; ++i) {
      colored(DomePoint(e0, i * step));
      colored(DomePoint(e1, i * step));
    }
    GL.glEnd();
  }
  const double top = 90.0 * (stacks_ - 1) / stacks_;
  GL.glBegin(GL_TRIANGLE_FAN);
  colored(TAffineVector{0, 0, 1});
  for (int i = slices_; i >= 0; --i) colored(DomePoint(top, i * step));
  GL.glEnd();
}

void RegisterGLSkydomeClasses() {
  RegisterClasses({TGLSkyDome::StaticClass(), TGLEarthSkyDome::StaticClass()});
  TPublished<TSkyDomeBand>()
      .Float("StartAngle", &TSkyDomeBand::StartAngle, &TSkyDomeBand::SetStartAngle, 0.0)
      .Object("StartColor", &TSkyDomeBand::StartColor)
      .Float("StopAngle", &TSkyDomeBand::StopAngle, &TSkyDomeBand::SetStopAngle, 0.0)
      .Object("StopColor", &TSkyDomeBand::StopColor)
      .Integer("Slices", &TSkyDomeBand::Slices, &TSkyDomeBand::SetSlices, 12)
      .Integer("Stacks", &TSkyDomeBand::Stacks, &TSkyDomeBand::SetStacks, 1);
  TPublished<TSkyDomeStar>()
      .Float("RA", &TSkyDomeStar::RA, &TSkyDomeStar::SetRA, 0.0)
      .Float("Dec", &TSkyDomeStar::Dec, &TSkyDomeStar::SetDec, 0.0)
      .Float("Magnitude", &TSkyDomeStar::Magnitude, &TSkyDomeStar::SetMagnitude, 0.0)
      .Integer("Color", &TSkyDomeStar::Color, &TSkyDomeStar::SetColor, 0);
  TPublished<TGLSkyDome>()
      .Object("Bands", &TGLSkyDome::Bands)
      .Object("Stars", &TGLSkyDome::Stars)
      .Set("Options", &TGLSkyDome::Options, &TGLSkyDome::SetOptions, {"sdoTwinkle"}, 0)
      .Default("CamInvarianceMode", cimPosition);
  TPublished<TGLEarthSkyDome>()
      .Float("SunElevation", &TGLEarthSkyDome::SunElevation, &TGLEarthSkyDome::SetSunElevation, 75.0)
      .Float("Turbidity", &TGLEarthSkyDome::Turbidity, &TGLEarthSkyDome::SetTurbidity, 15.0)
      .Object("SunZenithColor", &TGLEarthSkyDome::SunZenithColor)
      .Object("SunDawnColor", &TGLEarthSkyDome::SunDawnColor)
      .Object("HazeColor", &TGLEarthSkyDome::HazeColor)
      .Object("SkyColor", &TGLEarthSkyDome::SkyColor)
      .Object("NightColor", &TGLEarthSkyDome::NightColor)
      .Object("DeepColor", &TGLEarthSkyDome::DeepColor)
      .Set("ExtendedOptions", &TGLEarthSkyDome::ExtendedOptions, &TGLEarthSkyDome::SetExtendedOptions,
           {"esoFadeStarsWithSun", "esoRotateOnTwelveHours"}, 0)
      .Integer("Slices", &TGLEarthSkyDome::Slices, &TGLEarthSkyDome::SetSlices, 48)
      .Integer("Stacks", &TGLEarthSkyDome::Stacks, &TGLEarthSkyDome::SetStacks, 24);
}
