// Colour values with change notification and streaming, system-colour conversion, and face
// properties sent through the state cache.
#include "Source/Materials/GLColor.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"

void WinColorToColorVector(TColor winColor, TVector4f& vector, float alpha) {
  const TColor c = ResolveSystemColor(winColor);
  // The factor in double precision, so that every byte maps to the nearest single.
  const double f = 1.0 / 255.0;
  vector[0] = float((c & 255) * f);
  vector[1] = float(((c >> 8) & 255) * f);
  vector[2] = float(((c >> 16) & 255) * f);
  vector[3] = alpha;
}

TVector4f ConvertWinColor(TColor winColor, float alpha) {
  TVector4f v;
  WinColorToColorVector(winColor, v, alpha);
  return v;
}

// ---- TGLColor ----------------------------------------------------------------------------

TGLColor::TGLColor(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) { Initialize(clrBlack); }

TGLColor::TGLColor(TPersistent* AOwner, const TVector4f& color, TNotifyEvent onChange) : TGLUpdateAbleObject(AOwner) {
  Initialize(color);
  OnNotifyChange = std::move(onChange);
}

TGLColor::~TGLColor() = default;

void TGLColor::Initialize(const TVector4f& color) {
  color_ = color;
  if (vKeepInitialValues) default_ = std::make_unique<TVector4f>(color);
}

void TGLColor::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "Color",
      [this](TStream* s) {
        // Exactly 16 bytes; anything else is refused and the colour kept.
        if (s->Size() - s->Position() != std::int64_t(sizeof(TVector4f)))
          throw EReadError("Invalid binary Color property");
        TVector4f v;
        s->ReadBuffer(v.V, sizeof v);
        color_ = v;
      },
      [this](TStream* s) { s->WriteBuffer(color_.V, sizeof color_); }, !(default_ && VectorEquals(*default_, color_)));
}

void TGLColor::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLColor>()) {
    color_ = static_cast<TGLColor*>(Source)->color_;
    NotifyChange(this);
  } else {
    inherited::Assign(Source);
  }
}

void TGLColor::NotifyChange(TObject* Sender) {
  TPersistent* owner = Owner();
  if (!owner) return;
  if (owner->Is<TGLBaseSceneObject>()) static_cast<TGLBaseSceneObject*>(owner)->MarkStructureChanged();
  inherited::NotifyChange(Sender);
}

void TGLColor::SetColor(const TVector4f& color) {
  color_ = color;
  NotifyChange(this);
}

void TGLColor::SetColorComponent(int index, float value) {
  if (color_[index] != value) {
    color_[index] = value;
    NotifyChange(this);
  }
}

void TGLColor::SetFromWinColor(TColor value) {
  WinColorToColorVector(value, color_, 1.0f);
  NotifyChange(this);
}

TColor TGLColor::ToWinColor() const {
  // Out-of-range components are clamped so that they cannot spill into the next byte or turn
  // the value into a system colour.
  auto byte = [](float v) -> TColor {
    const double r = std::nearbyint(double(v) * 255.0);
    if (!(r > 0)) return 0;  // also NaN
    return r >= 255 ? 255 : TColor(r);
  };
  return byte(color_[0]) | byte(color_[1]) << 8 | byte(color_[2]) << 16;
}

void TGLColor::RandomizeRGB() {
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  for (int i = 0; i < 3; ++i) {
    float v = dist(generator);
    if (v >= 1.0f) v = 0.0f;  // some library versions can return the upper bound
    SetColorComponent(i, v);
  }
}

// ---- TGLFaceProperties -------------------------------------------------------------------

GLenum PolygonModeToGL(TPolygonMode mode) {
  switch (mode) {
    case pmLines: return GL_LINE;
    case pmPoints: return GL_POINT;
    default: return GL_FILL;
  }
}

TGLFaceProperties::TGLFaceProperties(TPersistent* AOwner)
    : TGLUpdateAbleObject(AOwner),
      ambient_(std::make_unique<TGLColor>(this, clrGray20)),
      diffuse_(std::make_unique<TGLColor>(this, clrGray80)),
      specular_(std::make_unique<TGLColor>(this)),
      emission_(std::make_unique<TGLColor>(this)) {}

TGLFaceProperties::~TGLFaceProperties() = default;

void TGLFaceProperties::Assign(TPersistent* Source) {
  if (!Source || !Source->Is<TGLFaceProperties>()) return;
  auto* src = static_cast<TGLFaceProperties*>(Source);
  ambient_->StoreColor(src->ambient_->Color());
  diffuse_->StoreColor(src->diffuse_->Color());
  specular_->StoreColor(src->specular_->Color());
  shininess_ = src->shininess_;
  polygonMode_ = src->polygonMode_;
  emission_->StoreColor(src->emission_->Color());
  NotifyChange(this);
}

void TGLFaceProperties::CopyColor(TGLColor& target, const TGLColor* source) {
  if (source) target.StoreColor(source->Color());
  NotifyChange(this);
}

void TGLFaceProperties::SetAmbient(TGLColor* v) { CopyColor(*ambient_, v); }
void TGLFaceProperties::SetDiffuse(TGLColor* v) { CopyColor(*diffuse_, v); }
void TGLFaceProperties::SetSpecular(TGLColor* v) { CopyColor(*specular_, v); }
void TGLFaceProperties::SetEmission(TGLColor* v) { CopyColor(*emission_, v); }

void TGLFaceProperties::SetPolygonMode(TPolygonMode v) {
  if (v != polygonMode_) {
    polygonMode_ = v;
    NotifyChange(this);
  }
}

void TGLFaceProperties::SetShininess(int v) {
  const TShininess s = TShininess(std::clamp(v, 0, MaxShininess));
  if (s != shininess_) {
    shininess_ = s;
    NotifyChange(this);
  }
}

bool TGLFaceProperties::SameLook(const TGLFaceProperties& other) const noexcept {
  return VectorEquals(ambient_->Color(), other.ambient_->Color()) &&
         VectorEquals(diffuse_->Color(), other.diffuse_->Color()) &&
         VectorEquals(specular_->Color(), other.specular_->Color()) &&
         VectorEquals(emission_->Color(), other.emission_->Color()) && shininess_ == other.shininess_ &&
         polygonMode_ == other.polygonMode_;
}

void TGLFaceProperties::Apply(TGLStateCache& cache, GLenum face) {
  cache.SendMaterialColors(face, emission_->GetColorPtr(), ambient_->GetColorPtr(), diffuse_->GetColorPtr(),
                           specular_->GetColorPtr(), shininess_);
  cache.SetPolygonMode(face, PolygonModeToGL(polygonMode_));
}

void TGLFaceProperties::ApplyNoLighting(TGLStateCache& cache, GLenum face) {
  GL.glColor4fv(diffuse_->GetColorPtr());
  cache.SetPolygonMode(face, PolygonModeToGL(polygonMode_));
}

void TGLFaceProperties::Apply(TRenderContextInfo& rci, GLenum face) { Apply(*rci.GLStates, face); }

void TGLFaceProperties::ApplyNoLighting(TRenderContextInfo& rci, GLenum face) { ApplyNoLighting(*rci.GLStates, face); }

void RegisterGLColorClasses() {
  RegisterClasses({TGLColor::StaticClass(), TGLFaceProperties::StaticClass()});
  // The components are reachable by name but the colour is streamed as its binary property.
  auto never = [](TGLColor*) { return false; };
  TPublished<TGLColor>()
      .Float("Red", &TGLColor::Red, &TGLColor::SetRed, std::nullopt)
      .StoredIf(never)
      .Float("Green", &TGLColor::Green, &TGLColor::SetGreen, std::nullopt)
      .StoredIf(never)
      .Float("Blue", &TGLColor::Blue, &TGLColor::SetBlue, std::nullopt)
      .StoredIf(never)
      .Float("Alpha", &TGLColor::Alpha, &TGLColor::SetAlpha, std::nullopt)
      .StoredIf(never);
  TPublished<TGLFaceProperties>()
      .Object("Ambient", &TGLFaceProperties::Ambient)
      .Object("Diffuse", &TGLFaceProperties::Diffuse)
      .Object("Specular", &TGLFaceProperties::Specular)
      .Object("Emission", &TGLFaceProperties::Emission)
      .Enum("PolygonMode", &TGLFaceProperties::PolygonMode, &TGLFaceProperties::SetPolygonMode,
            {"pmFill", "pmLines", "pmPoints"}, pmFill)
      .Integer("Shininess", &TGLFaceProperties::Shininess, &TGLFaceProperties::SetShininess, 0);
}
