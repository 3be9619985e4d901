// Function plots: sampling and drawing of height fields and of axis grid lines.
#include "Source/Further/GLGraph.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

// --- TGLSamplingScale

void TGLSamplingScale::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLSamplingScale*>(Source)) {
    min_ = s->min_;
    max_ = s->max_;
    origin_ = s->origin_;
    step_ = s->step_;
    NotifyChange(this);
  } else {
    inherited::Assign(Source);
  }
}

#define SCALE_SETTER(Setter, field)        \
  void TGLSamplingScale::Setter(float v) { \
    if (v == field) return;                \
    field = v;                             \
    NotifyChange(this);                    \
  }
SCALE_SETTER(SetMin, min_)
SCALE_SETTER(SetMax, max_)
SCALE_SETTER(SetOrigin, origin_)
SCALE_SETTER(SetStep, step_)
#undef SCALE_SETTER

float TGLSamplingScale::StepBase() const {
  if (origin_ == min_) return min_;
  return float(double(origin_) - double(step_) * std::floor((double(origin_) - min_) / step_));
}

int TGLSamplingScale::MaxStepCount() const { return int(std::nearbyint((double(max_) - min_) / step_ + 0.5)); }

bool TGLSamplingScale::IsValid() const { return max_ != min_ && step_ > 0; }

std::string TGLSamplingScale::Fault() const {
  const bool finite = std::isfinite(min_) && std::isfinite(max_) && std::isfinite(origin_) && std::isfinite(step_);
  // Huge values can still put the first sample or the enlarged Max beyond the float range.
  float base = 0, step = 0, max = 0;
  if (finite) SetBaseStepMaxToVars(base, step, max, step_ > 0);
  if (finite && std::isfinite(base) && std::isfinite(max)) return {};
  return Format("sampling scale out of range (Min %g, Max %g, Origin %g, Step %g)", double(min_), double(max_),
                double(origin_), double(step_));
}

void TGLSamplingScale::SetBaseStepMaxToVars(float& base, float& step, float& max, bool samplingEnabled) const {
  step = step_;
  if (samplingEnabled) {
    base = StepBase();
    max = float(max_ + 1e-6 * step_);
  } else {
    base = max = origin_;
  }
}

int64_t SampleCount(float base, float step, float max) {
  if (!std::isfinite(base) || !std::isfinite(step) || !std::isfinite(max)) return 0;
  if (base > max) return 0;
  if (base == max) return 1;
  if (!(step > 0)) return 0;
  const double n = std::floor((double(max) - base) / step) + 1;
  return n > 0x1p62 ? int64_t(1) << 62 : int64_t(n);  // a count beyond any limit, without overflow
}

bool TPlotSampleLimit::Allows(const TComponent& plot, double total) {
  if (total <= double(kMaxPlotSamples)) return true;
  return Refuse(plot, Format("%.0f samples asked for, at most %d are drawn", total, int(kMaxPlotSamples)));
}

bool TPlotSampleLimit::Refuse(const TComponent& plot, const std::string& why) {
  if (reported_) return false;
  reported_ = true;
  throw EInvalidOperation(Format("%s %s: %s", plot.ClassName().c_str(), plot.Name().c_str(), why.c_str()));
}

namespace {

// Refuses (once) a plot with a damaged scale; axis names the scale in the message.
bool ScalesUsable(TPlotSampleLimit& limit, const TComponent& plot,
                  std::initializer_list<std::pair<const char*, const TGLSamplingScale*>> scales) {
  for (const auto& [axis, scale] : scales) {
    const std::string fault = scale->Fault();
    if (!fault.empty()) return limit.Refuse(plot, Format("%s %s", axis, fault.c_str()));
  }
  return true;
}

}  // namespace

// --- TGLHeightField

TGLHeightField::TGLHeightField(TComponent* AOwner)
    : TGLSceneObject(AOwner),
      xScale_(std::make_unique<TGLSamplingScale>(this)),
      yScale_(std::make_unique<TGLSamplingScale>(this)) {
  objectStyle_ |= osStateChanging;
}

TGLHeightField::~TGLHeightField() = default;

void TGLHeightField::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLHeightField*>(Source)) {
    xScale_->Assign(s->xScale_.get());
    yScale_->Assign(s->yScale_.get());
    colorMode_ = s->colorMode_;
    options_ = s->options_;
    OnGetHeight = s->OnGetHeight;
    OnGetHeight2 = s->OnGetHeight2;
  }
  inherited::Assign(Source);
}

void TGLHeightField::NotifyChange(TObject* Sender) {
  if (Sender == xScale_.get() || Sender == yScale_.get()) {
    limit_.Reset();
    MarkStructureChanged();
  }
  inherited::NotifyChange(Sender);
}

namespace {

bool ScalesSound(std::initializer_list<const TGLSamplingScale*> scales) {
  for (const TGLSamplingScale* s : scales)
    if (!s->Fault().empty()) return false;
  return true;
}

}  // namespace

double TGLHeightField::VertexCount() const {
  if (!ScalesSound({xScale_.get(), yScale_.get()}) || !xScale_->IsValid() || !yScale_->IsValid()) return 0;
  float xBase, xStep, xMax, yBase, yStep, yMax;
  xScale_->SetBaseStepMaxToVars(xBase, xStep, xMax, true);
  yScale_->SetBaseStepMaxToVars(yBase, yStep, yMax, true);
  const double nx = double(SampleCount(xBase, xStep, xMax)), ny = double(SampleCount(yBase, yStep, yMax));
  return nx < 2 || ny < 2 ? 0 : (ny - 1) * 2 * nx;
}

void TGLHeightField::Loaded() {
  inherited::Loaded();
  CheckLoadedVertices(*this, VertexCount());
}

void TGLHeightField::SetColorMode(THeightFieldColorMode v) {
  if (v == colorMode_) return;
  colorMode_ = v;
  MarkStructureChanged();
}

void TGLHeightField::SetOptions(THeightFieldOptions v) {
  if (v == options_) return;
  options_ = v;
  MarkStructureChanged();
}

void TGLHeightField::GetHeight(float x, float y, float& z, TVector4f& color, TTexPoint& texPoint) {
  if (OnGetHeight && !ComponentState().Contains(csDesigning)) {
    OnGetHeight(x, y, z, color, texPoint);
  } else if (OnGetHeight2) {
    OnGetHeight2(this, x, y, z, color, texPoint);
  } else {
    const float r2 = x * x + y * y;
    z = std::cos(12 * r2) / (2 * (6.28f * r2 + 1));
    color = TVector4f{0.8f, 0.8f, 0.8f, 1};
  }
}

namespace {

struct THeightSample {
  TVector4f color;
  float z, x, y;
  TTexPoint tex;
  TAffineVector normal;
};
using TSampleRow = std::vector<THeightSample>;

// Normals of `row` from its neighbours along the row and in the rows before and after it.
void ComputeNormals(TSampleRow& row, const TSampleRow* prev, const TSampleRow* next, float invXStep, float invYStep) {
  const size_t n = row.size();
  for (size_t i = 0; i < n; ++i) {
    const float z = row[i].z;
    float nx = 0, ny = 0;
    if (i > 0) nx += row[i - 1].z - z;
    if (i + 1 < n) nx += z - row[i + 1].z;
    if (prev) ny += (*prev)[i].z - z;
    if (next) ny += z - (*next)[i].z;
    row[i].normal = AffineVectorNormalized(AffineVectorMake(nx * invXStep, ny * invYStep, 1));
  }
}

void EmitStrip(const TSampleRow& older, const TSampleRow& newer, bool colors, bool texCoords) {
  GL.glBegin(GL_TRIANGLE_STRIP);
  for (size_t i = 0; i < newer.size(); ++i) {
    for (const THeightSample* s : {&newer[i], &older[i]}) {
      GL.glNormal3fv(s->normal.V);
      if (colors) GL.glColor4fv(s->color.V);
      if (texCoords) MappedTexCoord2f(s->tex.S, s->tex.T);
      GL.glVertex4f(s->x, s->y, s->z, 1);
    }
  }
  GL.glEnd();
}

}  // namespace

void TGLHeightField::BuildList(TRenderContextInfo& rci) {
  if (!ScalesUsable(limit_, *this, {{"X", xScale_.get()}, {"Y", yScale_.get()}})) return;
  if (!xScale_->IsValid() || !yScale_->IsValid()) return;
  float xBase, xStep, xMax, yBase, yStep, yMax;
  xScale_->SetBaseStepMaxToVars(xBase, xStep, xMax, true);
  yScale_->SetBaseStepMaxToVars(yBase, yStep, yMax, true);
  const int64_t nx64 = SampleCount(xBase, xStep, xMax);
  const int64_t ny64 = SampleCount(yBase, yStep, yMax);
  if (!limit_.Allows(*this, double(nx64) * double(ny64))) return;
  // A strip needs two rows of two samples: a single row or column draws nothing, and is not
  // sampled (a single row of millions of samples would only fill memory).
  if (nx64 < 2 || ny64 < 2) return;
  const int nx = int(nx64), ny = int(ny64);
  // Rows in rotation: the one whose normals are final, the one before it, the newest; never
  // more than the field has, so the buffers hold at most the samples drawn.
  const int rowCount = std::min(ny, 3);
  std::vector<TSampleRow> rows(size_t(rowCount), TSampleRow{});
  try {
    for (auto& r : rows) r.resize(size_t(nx));
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory(Format("%s %s: no memory for rows of %d samples", ClassName().c_str(), Name().c_str(), nx));
  }

  const bool pushed = options_.Contains(hfoTwoSided) || colorMode_ != hfcmNone;
  if (pushed) GL.glPushAttrib(GL_ENABLE_BIT);
  // Also when a height callback fails: the attribute stack is not left one deeper.
  TScopeExit pop([pushed] {
    if (pushed) GL.glPopAttrib();
  });
  if (options_.Contains(hfoTwoSided)) {
    GL.glDisable(GL_CULL_FACE);
    const GLenum mode = PolygonModeToGL(Material()->FrontProperties()->PolygonMode());
    if (rci.GLStates)
      rci.GLStates->SetPolygonMode(GL_FRONT_AND_BACK, mode);
    else
      GL.glPolygonMode(GL_FRONT_AND_BACK, mode);
  }
  if (colorMode_ != hfcmNone) {
    static const GLenum kModes[] = {0, GL_EMISSION, GL_AMBIENT, GL_DIFFUSE, GL_AMBIENT_AND_DIFFUSE};
    GL.glEnable(GL_COLOR_MATERIAL);
    GL.glColorMaterial(GL_FRONT_AND_BACK, kModes[colorMode_]);
    if (rci.GLStates) rci.GLStates->SendDefaultMaterial();
  }

  const bool colors = colorMode_ != hfcmNone;
  const bool texCoords = options_.Contains(hfoTextureCoordinates);
  const float invX = 1 / xStep, invY = 1 / yStep;
  auto row = [&rows, rowCount](int j) -> TSampleRow& { return rows[size_t(j % rowCount)]; };
  for (int j = 0; j < ny; ++j) {
    const float y = float(yBase + double(j) * yStep);
    TSampleRow& cur = row(j);
    for (int i = 0; i < nx; ++i) {
      THeightSample& s = cur[size_t(i)];
      s.x = float(xBase + double(i) * xStep);
      s.y = y;
      s.z = 0;
      s.color = TVector4f{1, 1, 1, 1};
      s.tex = TTexPoint{s.x, s.y};
      GetHeight(s.x, s.y, s.z, s.color, s.tex);
    }
    if (j >= 1) ComputeNormals(row(j - 1), j >= 2 ? &row(j - 2) : nullptr, &cur, invX, invY);
    if (j >= 2) EmitStrip(row(j - 2), row(j - 1), colors, texCoords);
  }
  ComputeNormals(row(ny - 1), &row(ny - 2), nullptr, invX, invY);
  EmitStrip(row(ny - 2), row(ny - 1), colors, texCoords);
}

// --- TGLXYZGrid

TGLXYZGrid::TGLXYZGrid(TComponent* AOwner)
    : TGLLineBase(AOwner),
      xScale_(std::make_unique<TGLSamplingScale>(this)),
      yScale_(std::make_unique<TGLSamplingScale>(this)),
      zScale_(std::make_unique<TGLSamplingScale>(this)) {}

TGLXYZGrid::~TGLXYZGrid() = default;

void TGLXYZGrid::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLXYZGrid*>(Source)) {
    xScale_->Assign(s->xScale_.get());
    yScale_->Assign(s->yScale_.get());
    zScale_->Assign(s->zScale_.get());
    parts_ = s->parts_;
    linesStyle_ = s->linesStyle_;
  }
  inherited::Assign(Source);
}

void TGLXYZGrid::NotifyChange(TObject* Sender) {
  if (Sender == xScale_.get() || Sender == yScale_.get() || Sender == zScale_.get()) {
    limit_.Reset();
    MarkStructureChanged();
  }
  inherited::NotifyChange(Sender);
}

void TGLXYZGrid::SetParts(TXYZGridParts v) {
  if (v == parts_) return;
  parts_ = v;
  limit_.Reset();
  MarkStructureChanged();
}

void TGLXYZGrid::SetLinesStyle(TXYZGridLinesStyle v) {
  if (v == linesStyle_) return;
  linesStyle_ = v;
  limit_.Reset();
  MarkStructureChanged();
}

namespace {

const TXYZGridPart kPartOf[3] = {gpX, gpY, gpZ};

}  // namespace

void TGLXYZGrid::GetAxes(TAxis (&axes)[3]) const {
  const TGLSamplingScale* scales[3] = {xScale_.get(), yScale_.get(), zScale_.get()};
  for (int a = 0; a < 3; ++a) {
    TAxis& ax = axes[a];
    const bool enabled = parts_.Contains(kPartOf[a]);
    scales[a]->SetBaseStepMaxToVars(ax.base, ax.step, ax.max, enabled);
    ax.count = SampleCount(ax.base, ax.step, ax.max);
    ax.min = scales[a]->Min();
    ax.maxEnd = scales[a]->Max();
  }
}

double TGLXYZGrid::LineVertices(const TAxis (&axes)[3]) const {
  double total = 0;
  for (int a = 0; a < 3; ++a)
    if (parts_.Contains(kPartOf[a]))
      total += double(axes[(a + 1) % 3].count) * double(axes[(a + 2) % 3].count) *
               (linesStyle_ == glsLine ? 2.0 : double(axes[a].count));
  return total;
}

double TGLXYZGrid::VertexCount() const {
  if (!ScalesSound({xScale_.get(), yScale_.get(), zScale_.get()})) return 0;
  TAxis axes[3];
  GetAxes(axes);
  return LineVertices(axes);
}

void TGLXYZGrid::Loaded() {
  inherited::Loaded();
  CheckLoadedVertices(*this, VertexCount());
}

void TGLXYZGrid::BuildList(TRenderContextInfo& rci) {
  if (!ScalesUsable(limit_, *this, {{"X", xScale_.get()}, {"Y", yScale_.get()}, {"Z", zScale_.get()}})) return;
  TAxis axes[3];
  GetAxes(axes);
  if (!limit_.Allows(*this, LineVertices(axes))) return;
  SetupLineStyle(rci);
  // Lines along axis `a`, one per sample pair of the other two axes.
  for (int a = 0; a < 3; ++a) {
    if (!parts_.Contains(kPartOf[a])) continue;
    // Segments along an axis without samples would be empty strips, as many as the other two
    // axes have sample pairs, none of them counted in the total above.
    if (linesStyle_ == glsSegments && axes[a].count == 0) continue;
    const int b = (a + 1) % 3, c = (a + 2) % 3;
    for (int64_t i = 0; i < axes[b].count; ++i) {
      for (int64_t k = 0; k < axes[c].count; ++k) {
        float p[3];
        p[b] = axes[b].At(i);
        p[c] = axes[c].At(k);
        GL.glBegin(GL_LINE_STRIP);
        if (linesStyle_ == glsLine) {
          p[a] = axes[a].min;
          GL.glVertex3fv(p);
          p[a] = axes[a].maxEnd;
          GL.glVertex3fv(p);
        } else {
          for (int64_t s = 0; s < axes[a].count; ++s) {
            p[a] = axes[a].At(s);
            GL.glVertex3fv(p);
          }
        }
        GL.glEnd();
      }
    }
  }
  RestoreLineStyle(rci);
}

void RegisterGLGraphClasses() {
  RegisterClasses({TGLHeightField::StaticClass(), TGLXYZGrid::StaticClass()});
  TPublished<TGLSamplingScale>()
      .Float("Min", &TGLSamplingScale::Min, &TGLSamplingScale::SetMin, 0.0)
      .Float("Max", &TGLSamplingScale::Max, &TGLSamplingScale::SetMax, 0.0)
      .Float("Origin", &TGLSamplingScale::Origin, &TGLSamplingScale::SetOrigin, 0.0)
      .Float("Step", &TGLSamplingScale::Step, &TGLSamplingScale::SetStep, 0.1);
  TPublished<TGLHeightField>()
      .Object("XSamplingScale", &TGLHeightField::XSamplingScale)
      .Object("YSamplingScale", &TGLHeightField::YSamplingScale)
      .Enum("ColorMode", &TGLHeightField::ColorMode, &TGLHeightField::SetColorMode,
            {"hfcmNone", "hfcmEmission", "hfcmAmbient", "hfcmDiffuse", "hfcmAmbientAndDiffuse"}, hfcmNone)
      .Set("Options", &TGLHeightField::Options, &TGLHeightField::SetOptions, {"hfoTextureCoordinates", "hfoTwoSided"},
           THeightFieldOptions{hfoTwoSided}.Bits())
      .Event("OnGetHeight")
      .Event("OnGetHeight2");
  TPublished<TGLXYZGrid>()
      .Object("XSamplingScale", &TGLXYZGrid::XSamplingScale)
      .Object("YSamplingScale", &TGLXYZGrid::YSamplingScale)
      .Object("ZSamplingScale", &TGLXYZGrid::ZSamplingScale)
      .Set("Parts", &TGLXYZGrid::Parts, &TGLXYZGrid::SetParts, {"gpX", "gpY", "gpZ"}, TXYZGridParts{gpX, gpY}.Bits())
      .Enum("LinesStyle", &TGLXYZGrid::LinesStyle, &TGLXYZGrid::SetLinesStyle, {"glsLine", "glsSegments"}, glsSegments)
      .Boolean("LinesSmoothing", &TGLXYZGrid::LinesSmoothing, &TGLXYZGrid::SetLinesSmoothing, false);
}
