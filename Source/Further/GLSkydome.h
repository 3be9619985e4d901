// Sky domes drawn around the camera: coloured latitude bands and point stars on a unit sphere
// scaled to just inside the far clipping distance, or a sky coloured from the sun's elevation.
// The dome's up axis is Z: elevation e and azimuth a give (cos a cos e, sin a cos e, sin e).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLSceneGraph.h"

class TGLSkyDome;

// A band between two elevations, its colour interpolated over Stacks steps.
class TSkyDomeBand : public TCollectionItem {
  RTL_CLASS(TSkyDomeBand, TCollectionItem)
 public:
  explicit TSkyDomeBand(TCollection* ACollection);
  ~TSkyDomeBand() override;
  void Assign(TPersistent* Source) override;
  // "<index>: <StartAngle with one decimal>".
  std::string GetDisplayName() override;

  float StartAngle() const noexcept { return startAngle_; }
  void SetStartAngle(float v);
  float StopAngle() const noexcept { return stopAngle_; }
  void SetStopAngle(float v);
  TGLColor* StartColor() const noexcept { return startColor_.get(); }
  void SetStartColor(TGLColor* v) { startColor_->Assign(v); }
  TGLColor* StopColor() const noexcept { return stopColor_.get(); }
  void SetStopColor(TGLColor* v) { stopColor_->Assign(v); }
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);
  int Stacks() const noexcept { return stacks_; }
  void SetStacks(int v);
  // Vertices the band draws at most: Stacks strips (or fans) of Slices steps.
  double VertexCount() const noexcept { return Vertices(slices_, stacks_); }
  static double Vertices(int slices, int stacks) noexcept;

  void BuildList(TRenderContextInfo& rci);

 private:
  void RenderBand(float e0, float e1, const TVector4f& c0, const TVector4f& c1) const;
  // Takes new counts, keeping the bands' total. While the dome is read, raises EReadError for a
  // count above the stored-subdivision bound or a dome whose vertices would pass the limit.
  void SetCounts(int slices, int stacks);
  float startAngle_ = 0, stopAngle_ = 0;
  std::unique_ptr<TGLColor> startColor_, stopColor_;
  int slices_ = 12, stacks_ = 1;
};

class TSkyDomeBands : public TOwnedCollection {
  RTL_CLASS(TSkyDomeBands, TOwnedCollection)
 public:
  explicit TSkyDomeBands(TGLSkyDome* AOwner);
  TSkyDomeBand* Add() { return AddAs<TSkyDomeBand>(); }
  TSkyDomeBand* Items(int i) const { return ItemAs<TSkyDomeBand>(i); }
  void Update(TCollectionItem* Item) override;
  void BuildList(TRenderContextInfo& rci);
  // The bands' vertices together, kept as bands come, go and change (so that reading a dome
  // band by band checks its total without summing every band again).
  double VertexCount() const noexcept { return vertices_; }
  TGLSkyDome* Dome() const noexcept { return dome_; }

 protected:
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
  // While the dome is read, a band that takes its total past the stored limit is refused.
  void Added(TCollectionItem* Item) override;

 private:
  friend class TSkyDomeBand;
  TGLSkyDome* dome_;
  double vertices_ = 0;
};

class TSkyDomeStar : public TCollectionItem {
  RTL_CLASS(TSkyDomeStar, TCollectionItem)
 public:
  explicit TSkyDomeStar(TCollection* ACollection) : TCollectionItem(ACollection) {}
  void Assign(TPersistent* Source) override;
  // "RA: <RA %5.1f> / Dec: <Dec %5.1f>".
  std::string GetDisplayName() override;

  float RA() const noexcept { return ra_; }
  void SetRA(float v);
  float Dec() const noexcept { return dec_; }
  void SetDec(float v);
  float Magnitude() const noexcept { return magnitude_; }
  void SetMagnitude(float v);
  TColor Color() const noexcept { return color_; }
  void SetColor(TColor v);
  // The unit position from RA and Dec (computed when the stars are drawn).
  const TAffineVector& CacheCoord() const noexcept { return cacheCoord_; }
  void ComputeCacheCoord();

 private:
  float ra_ = 0, dec_ = 0, magnitude_ = 0;
  TColor color_ = 0;
  TAffineVector cacheCoord_{};
};

class TSkyDomeStars : public TOwnedCollection {
  RTL_CLASS(TSkyDomeStars, TOwnedCollection)
 public:
  explicit TSkyDomeStars(TGLSkyDome* AOwner);
  TSkyDomeStar* Add() { return AddAs<TSkyDomeStar>(); }
  TSkyDomeStar* Items(int i) const { return ItemAs<TSkyDomeStar>(i); }
  void Update(TCollectionItem* Item) override;
  // One batch of points, restarted at every point-size change (point sizes cannot change
  // inside a batch). Each star is drawn in its own colour scaled by `brightness` (0 .. 1).
  void BuildList(TRenderContextInfo& rci, bool twinkle, float brightness = 1);

 protected:
  // While the dome is read, a star that takes its total past the stored limit is refused.
  void Added(TCollectionItem* Item) override;

 private:
  TGLSkyDome* dome_;
};

enum TSkyDomeOption : uint8_t { sdoTwinkle };
using TSkyDomeOptions = TSet<TSkyDomeOption>;

class TGLSkyDome : public TGLCameraInvariantObject {
  RTL_CLASS(TGLSkyDome, TGLCameraInvariantObject)
 public:
  explicit TGLSkyDome(TComponent* AOwner);
  ~TGLSkyDome() override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;

  TSkyDomeBands* Bands() const noexcept { return bands_.get(); }
  void SetBands(TSkyDomeBands* v) { bands_->Assign(v); }
  TSkyDomeStars* Stars() const noexcept { return stars_.get(); }
  void SetStars(TSkyDomeStars* v) { stars_->Assign(v); }
  TSkyDomeOptions Options() const noexcept { return options_; }
  // Twinkling stars are drawn every frame (direct draw): the whole dome, bands too, within the
  // same vertex count.
  void SetOptions(TSkyDomeOptions v);
  // Vertices of one draw of the dome: the sky, the bands and one per star. Read from a stored
  // scene, it is at most kMaxStoredVertices.
  virtual double VertexCount() const;

 protected:
  // What the dome draws before its bands (nothing here).
  virtual void DrawSky(TRenderContextInfo&) {}
  // The scale of the stars' colours as they are drawn (their own colours stay as they are).
  virtual float StarBrightness() const { return 1; }
  virtual bool AlphaTestOff() const { return false; }

 private:
  std::unique_ptr<TSkyDomeBands> bands_;
  std::unique_ptr<TSkyDomeStars> stars_;
  TSkyDomeOptions options_;
};

enum TEarthSkydomeOption : uint8_t { esoFadeStarsWithSun, esoRotateOnTwelveHours };
using TEarthSkydomeOptions = TSet<TEarthSkydomeOption>;

// A sky coloured from the sun's elevation and the air's turbidity; no bands by default.
class TGLEarthSkyDome : public TGLSkyDome {
  RTL_CLASS(TGLEarthSkyDome, TGLSkyDome)
 public:
  explicit TGLEarthSkyDome(TComponent* AOwner);
  ~TGLEarthSkyDome() override;
  void Assign(TPersistent* Source) override;
  // A dome read with star fading on whose stars all have the grey of the fade at its sun
  // elevation (as builds that faded the colours themselves stored them) gets white stars.
  void Loaded() override;

  float SunElevation() const noexcept { return sunElevation_; }
  // Clamped to -90 ... 90. With esoRotateOnTwelveHours, reaching exactly 90 or -90 turns the
  // dome by 180 degrees and moves every star by 180 degrees of RA, once.
  void SetSunElevation(float v);
  float Turbidity() const noexcept { return turbidity_; }
  void SetTurbidity(float v);
  TGLColor* SunZenithColor() const noexcept { return sunZenithColor_.get(); }
  void SetSunZenithColor(TGLColor* v) { sunZenithColor_->Assign(v); }
  TGLColor* SunDawnColor() const noexcept { return sunDawnColor_.get(); }
  void SetSunDawnColor(TGLColor* v) { sunDawnColor_->Assign(v); }
  TGLColor* HazeColor() const noexcept { return hazeColor_.get(); }
  void SetHazeColor(TGLColor* v) { hazeColor_->Assign(v); }
  TGLColor* SkyColor() const noexcept { return skyColor_.get(); }
  void SetSkyColor(TGLColor* v) { skyColor_->Assign(v); }
  TGLColor* NightColor() const noexcept { return nightColor_.get(); }
  void SetNightColor(TGLColor* v) { nightColor_->Assign(v); }
  TGLColor* DeepColor() const noexcept { return deepColor_.get(); }
  void SetDeepColor(TGLColor* v) { deepColor_->Assign(v); }
  TEarthSkydomeOptions ExtendedOptions() const noexcept { return extendedOptions_; }
  void SetExtendedOptions(TEarthSkydomeOptions v);
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);
  int Stacks() const noexcept { return stacks_; }
  void SetStacks(int v);
  double VertexCount() const override;

  // The sky colour of a unit direction (from the colour cache).
  TVector4f CalculateColor(const TAffineVector& direction) const;
  // Recomputes the colour cache (and the stars' fade), then marks the structure changed.
  void RebuildColorCache();
  // With esoFadeStarsWithSun, the brightness the stars are drawn with: 1 with the sun at or
  // below the horizon, fading to 0 as it rises; else 1. The stars keep their own colours.
  float StarBrightness() const override;

 protected:
  void DrawSky(TRenderContextInfo& rci) override;
  bool AlphaTestOff() const override { return true; }

 private:
  void ColorChanged(TObject* Sender);
  // Raises EReadError, while the dome is read, for counts whose sky would take the dome past the
  // stored vertex limit.
  void CheckStoredSky(int slices, int stacks) const;
  float sunElevation_ = 75, turbidity_ = 15;
  std::unique_ptr<TGLColor> sunZenithColor_, sunDawnColor_, hazeColor_, skyColor_, nightColor_, deepColor_;
  TEarthSkydomeOptions extendedOptions_;
  int slices_ = 48, stacks_ = 24;
  // Colour cache.
  TVector4f sunColor_{}, hazeCache_{}, skyCache_{};
  float k1_ = 0, k2_ = 0;
  float starFade_ = 1;
  TAffineVector sunDirection_{};
};

void RegisterGLSkydomeClasses();
