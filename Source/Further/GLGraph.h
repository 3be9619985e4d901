// Function plots: a height field z = f(x, y) sampled on a regular grid, and grid lines along the
// axes. Both sample their axes with a sampling scale.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Source/Base/VectorTypes.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"

// Samples of one axis: Min ... Max on the lattice through Origin with spacing Step.
class TGLSamplingScale : public TGLUpdateAbleObject {
  RTL_CLASS(TGLSamplingScale, TGLUpdateAbleObject)
 public:
  explicit TGLSamplingScale(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {}
  void Assign(TPersistent* Source) override;

  float Min() const noexcept { return min_; }
  void SetMin(float v);
  float Max() const noexcept { return max_; }
  void SetMax(float v);
  float Origin() const noexcept { return origin_; }
  void SetOrigin(float v);
  float Step() const noexcept { return step_; }
  void SetStep(float v);

  // The first sample at or above Min on the lattice through Origin.
  float StepBase() const;
  int MaxStepCount() const;
  // Max differs from Min and the step is positive (a step of zero or below would never reach
  // Max).
  bool IsValid() const;
  // Empty when Min, Max, Origin, Step and the first sample are finite numbers; otherwise what is
  // wrong, for the plot's refusal. A stored scene can hold any value.
  std::string Fault() const;
  // Enabled: (StepBase, Step, Max grown by 1e-6 of a step); disabled: one sample at Origin.
  void SetBaseStepMaxToVars(float& base, float& step, float& max, bool samplingEnabled) const;

 private:
  float min_ = 0, max_ = 0, origin_ = 0, step_ = 0.1f;
};

// Number of samples base, base + step, ... not above max (0 for a non-positive step unless
// base == max, which is the single-sample case, and 0 when a value is not a finite number).
int64_t SampleCount(float base, float step, float max);

// Points one plot may draw: more than any screen shows. A plot whose scales ask for more raises
// EInvalidOperation from its first BuildList and then draws nothing until a scale changes, so
// that a damaged scale costs neither minutes of sampling nor every later frame.
inline constexpr int64_t kMaxPlotSamples = int64_t(1) << 22;

// The refusal of too many samples or of a damaged scale, reported once per scale setting.
class TPlotSampleLimit {
 public:
  // False when total is above kMaxPlotSamples; raises the first time.
  bool Allows(const TComponent& plot, double total);
  // False; raises EInvalidOperation "<class> <name>: <why>" the first time.
  bool Refuse(const TComponent& plot, const std::string& why);
  void Reset() noexcept { reported_ = false; }

 private:
  bool reported_ = false;
};

enum THeightFieldColorMode : uint8_t { hfcmNone, hfcmEmission, hfcmAmbient, hfcmDiffuse, hfcmAmbientAndDiffuse };
enum THeightFieldOption : uint8_t { hfoTextureCoordinates, hfoTwoSided };
using THeightFieldOptions = TSet<THeightFieldOption>;

using THeightFieldGetHeightEvent =
    std::function<void(float x, float y, float& z, TVector4f& color, TTexPoint& texPoint)>;
using THeightFieldGetHeight2Event =
    std::function<void(TObject* Sender, float x, float y, float& z, TVector4f& color, TTexPoint& texPoint)>;

// The surface z = f(x, y): triangle strips between consecutive sample rows.
class TGLHeightField : public TGLSceneObject {
  RTL_CLASS(TGLHeightField, TGLSceneObject)
 public:
  explicit TGLHeightField(TComponent* AOwner);
  ~TGLHeightField() override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  void NotifyChange(TObject* Sender) override;
  // A stored field whose sample grid would pass kMaxStoredVertices raises EReadError. The scales
  // are checked once read whole: a scale read half (its Min and Max before its Step) can ask for
  // any number of samples.
  void Loaded() override;

  // Vertices of the strips between the sample rows (0 for scales that draw nothing).
  double VertexCount() const;
  TGLSamplingScale* XSamplingScale() const noexcept { return xScale_.get(); }
  void SetXSamplingScale(TGLSamplingScale* v) { xScale_->Assign(v); }
  TGLSamplingScale* YSamplingScale() const noexcept { return yScale_.get(); }
  void SetYSamplingScale(TGLSamplingScale* v) { yScale_->Assign(v); }
  THeightFieldColorMode ColorMode() const noexcept { return colorMode_; }
  void SetColorMode(THeightFieldColorMode v);
  THeightFieldOptions Options() const noexcept { return options_; }
  void SetOptions(THeightFieldOptions v);

  THeightFieldGetHeightEvent OnGetHeight;
  THeightFieldGetHeight2Event OnGetHeight2;

  // The height source: OnGetHeight (not at design time), else OnGetHeight2, else a damped
  // cosine ripple around the origin.
  void GetHeight(float x, float y, float& z, TVector4f& color, TTexPoint& texPoint);

 private:
  std::unique_ptr<TGLSamplingScale> xScale_, yScale_;
  TPlotSampleLimit limit_;
  THeightFieldColorMode colorMode_ = hfcmNone;
  THeightFieldOptions options_{hfoTwoSided};
};

enum TXYZGridPart : uint8_t { gpX, gpY, gpZ };
using TXYZGridParts = TSet<TXYZGridPart>;
enum TXYZGridLinesStyle : uint8_t { glsLine, glsSegments };

// Grid lines along the axes; an axis not in Parts is sampled only at its Origin.
class TGLXYZGrid : public TGLLineBase {
  RTL_CLASS(TGLXYZGrid, TGLLineBase)
 public:
  explicit TGLXYZGrid(TComponent* AOwner);
  ~TGLXYZGrid() override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  void NotifyChange(TObject* Sender) override;
  // As the height field's: a stored grid whose lines would pass kMaxStoredVertices is refused.
  void Loaded() override;

  // Vertices of the lines of every part drawn (0 for scales that draw nothing).
  double VertexCount() const;
  TGLSamplingScale* XSamplingScale() const noexcept { return xScale_.get(); }
  void SetXSamplingScale(TGLSamplingScale* v) { xScale_->Assign(v); }
  TGLSamplingScale* YSamplingScale() const noexcept { return yScale_.get(); }
  void SetYSamplingScale(TGLSamplingScale* v) { yScale_->Assign(v); }
  TGLSamplingScale* ZSamplingScale() const noexcept { return zScale_.get(); }
  void SetZSamplingScale(TGLSamplingScale* v) { zScale_->Assign(v); }
  TXYZGridParts Parts() const noexcept { return parts_; }
  void SetParts(TXYZGridParts v);
  TXYZGridLinesStyle LinesStyle() const noexcept { return linesStyle_; }
  void SetLinesStyle(TXYZGridLinesStyle v);
  // Smooth (anti-aliased) lines.
  bool LinesSmoothing() const { return AntiAliased(); }
  void SetLinesSmoothing(bool v) { SetAntiAliased(v); }

 private:
  struct TAxis {
    float base, step, max;
    int64_t count;
    float min, maxEnd;
    float At(int64_t i) const { return float(base + double(i) * step); }
  };
  // The samples of each axis (an axis not in Parts at its Origin), and the line vertices of them.
  void GetAxes(TAxis (&axes)[3]) const;
  double LineVertices(const TAxis (&axes)[3]) const;
  std::unique_ptr<TGLSamplingScale> xScale_, yScale_, zScale_;
  TPlotSampleLimit limit_;
  TXYZGridParts parts_{gpX, gpY};
  TXYZGridLinesStyle linesStyle_ = glsSegments;
};

void RegisterGLGraphClasses();
