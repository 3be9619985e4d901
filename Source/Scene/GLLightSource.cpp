// Light sources (colours, spot settings, set-up of one fixed-function light) and fog set-up.
#include "Source/Scene/GLLightSource.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "Source/Scene/GLSceneBuffer.h"
#include "rtl/Streaming.h"

TGLLightSource::TGLLightSource(TComponent* AOwner) : TGLBaseSceneObject(AOwner) {
  spotDirection_ = std::make_unique<TGLCoordinates>(this, VectorMake(0, 0, -1, 0), csVector);
  ambient_ = std::make_unique<TGLColor>(this);
  diffuse_ = std::make_unique<TGLColor>(this, VectorMake(1, 1, 1, 1));
  specular_ = std::make_unique<TGLColor>(this);
}

TGLLightSource::~TGLLightSource() {
  // Leave the light table while the colours still exist.
  if (Scene()) Scene()->RemoveLight(this);
}

void TGLLightSource::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLLightSource>()) {
    auto* src = static_cast<TGLLightSource*>(Source);
    spotDirection_->StoreVector(src->spotDirection_->AsVector());
    spotExponent_ = src->spotExponent_;
    spotCutOff_ = src->spotCutOff_;
    constAttenuation_ = src->constAttenuation_;
    linearAttenuation_ = src->linearAttenuation_;
    quadraticAttenuation_ = src->quadraticAttenuation_;
    shining_ = src->shining_;
    ambient_->Assign(src->ambient_.get());
    diffuse_->Assign(src->diffuse_.get());
    specular_->Assign(src->specular_.get());
    lightStyle_ = src->lightStyle_;
  }
  inherited::Assign(Source);
}

void TGLLightSource::CoordinateChanged(TGLCoordinates* Sender) {
  inherited::CoordinateChanged(Sender);
  if (Sender == spotDirection_.get()) TransformationChanged();
}

void TGLLightSource::DoRender(TRenderContextInfo& rci, bool, bool renderChildren) {
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
}

bool TGLLightSource::RayCastIntersect(const TVector4f&, const TVector4f&, TVector4f*, TVector4f*) { return false; }

bool TGLLightSource::HasAttenuation() const {
  if (lightStyle_ == lsParallel) return false;
  return constAttenuation_ != 1 || linearAttenuation_ != 0 || quadraticAttenuation_ != 0;
}

void TGLLightSource::SetSpotDirection(TGLCoordinates* v) {
  TVector4f d = v->AsVector();
  d[3] = 0;
  spotDirection_->StoreVector(d);
  NotifyChange(this);
}

namespace {

template <class T>
bool Store(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

bool TGLLightSource::SetAttenuation(const char* property, float& field, float v) {
  if (!TakeValue(property, v, std::isfinite(v), "is no attenuation")) return false;
  return Store(field, std::max(v, 0.0f));
}

// GL takes a spot exponent in [0, 128] and attenuations of at least 0; any other value left
// an error pending in every frame (taken by the next call that checked for one) and the light
// as it was. Numbers outside are clamped, so a stored scene holding one still reads; what is
// not a number is refused.
void TGLLightSource::SetSpotExponent(float v) {
  if (!TakeValue("SpotExponent", v, std::isfinite(v), "is no spot exponent")) return;
  if (Store(spotExponent_, std::clamp(v, 0.0f, 128.0f))) NotifyChange(this);
}

void TGLLightSource::SetSpotCutOff(float v) {
  if ((v >= 0 && v <= 90) || v == 180)
    if (Store(spotCutOff_, v)) NotifyChange(this);
}

void TGLLightSource::SetConstAttenuation(float v) {
  if (SetAttenuation("ConstAttenuation", constAttenuation_, v)) NotifyChange(this);
}

void TGLLightSource::SetLinearAttenuation(float v) {
  if (SetAttenuation("LinearAttenuation", linearAttenuation_, v)) NotifyChange(this);
}

void TGLLightSource::SetQuadraticAttenuation(float v) {
  if (SetAttenuation("QuadraticAttenuation", quadraticAttenuation_, v)) NotifyChange(this);
}

void TGLLightSource::SetShining(bool v) {
  if (Store(shining_, v)) NotifyChange(this);
}

void TGLLightSource::SetAmbient(TGLColor* v) {
  ambient_->Assign(v);
  NotifyChange(this);
}

void TGLLightSource::SetDiffuse(TGLColor* v) {
  diffuse_->Assign(v);
  NotifyChange(this);
}

void TGLLightSource::SetSpecular(TGLColor* v) {
  specular_->Assign(v);
  NotifyChange(this);
}

void TGLLightSource::SetLightStyle(TLightStyle v) {
  if (Store(lightStyle_, v)) NotifyChange(this);
}

// --- fog

TGLFogEnvironment::TGLFogEnvironment(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {
  fogColor_ = std::make_unique<TGLColor>(this, VectorMake(0, 0, 0, 1));
}

TGLFogEnvironment::~TGLFogEnvironment() = default;

void TGLFogEnvironment::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLFogEnvironment>()) {
    auto* src = static_cast<TGLFogEnvironment*>(Source);
    fogColor_->Assign(src->fogColor_.get());
    fogStart_ = src->fogStart_;
    fogEnd_ = src->fogEnd_;
    fogMode_ = src->fogMode_;
    fogDistance_ = src->fogDistance_;
    NotifyChange(this);
    return;
  }
  inherited::Assign(Source);
}

bool TGLFogEnvironment::IsAtDefaultValues() const {
  return VectorEquals(fogColor_->Color(), VectorMake(0, 0, 0, 1)) && fogStart_ == 10 && fogEnd_ == 1000 &&
         fogMode_ == fmLinear && fogDistance_ == fdDefault;
}

void TGLFogEnvironment::SetFogColor(TGLColor* v) {
  if (!v) return;
  fogColor_->Assign(v);
  NotifyChange(this);
}

void TGLFogEnvironment::SetFogStart(float v) {
  if (Store(fogStart_, v)) NotifyChange(this);
}

void TGLFogEnvironment::SetFogEnd(float v) {
  if (Store(fogEnd_, v)) NotifyChange(this);
}

void TGLFogEnvironment::SetFogMode(TFogMode v) {
  if (Store(fogMode_, v)) NotifyChange(this);
}

void TGLFogEnvironment::SetFogDistance(TFogDistance v) {
  if (Store(fogDistance_, v)) NotifyChange(this);
}

namespace {
// The driver's own fog-distance mode, read on first use; all bits set while unknown.
GLint vDefaultFogDistanceMode = GLint(-1);
}  // namespace

void TGLFogEnvironment::ApplyFog() {
  TGLSceneBuffer* buffer = Owner() && Owner()->Is<TGLSceneBuffer>() ? static_cast<TGLSceneBuffer*>(Owner()) : nullptr;
  TGLContext* ctx = buffer ? buffer->RenderingContext() : nullptr;
  // Called outside the buffer's frame (perhaps inside another buffer's): the context that was
  // current is current again afterwards.
  std::optional<TGLContextSwitch> current;
  if (ctx && GetCurrentRenderingContext() != ctx) current.emplace(*ctx);
  switch (fogMode_) {
    case fmLinear: GL.glFogi(GL_FOG_MODE, GL_LINEAR); break;
    case fmExp:
      GL.glFogi(GL_FOG_MODE, GL_EXP);
      GL.glFogf(GL_FOG_DENSITY, fogColor_->Alpha());
      break;
    case fmExp2:
      GL.glFogi(GL_FOG_MODE, GL_EXP2);
      GL.glFogf(GL_FOG_DENSITY, fogColor_->Alpha());
      break;
  }
  GL.glFogfv(GL_FOG_COLOR, fogColor_->Color().data());
  GL.glFogf(GL_FOG_START, fogStart_);
  GL.glFogf(GL_FOG_END, fogEnd_);
  if (GLCaps.NV_fog_distance) {
    constexpr GLenum kFogDistanceMode = 0x855A, kEyeRadial = 0x855B, kEyePlaneAbsolute = 0x855C;
    switch (fogDistance_) {
      case fdEyeRadial: GL.glFogi(kFogDistanceMode, kEyeRadial); break;
      case fdEyePlane: GL.glFogi(kFogDistanceMode, kEyePlaneAbsolute); break;
      case fdDefault:
        if (vDefaultFogDistanceMode == GLint(-1))
          GL.glGetIntegerv(kFogDistanceMode, &vDefaultFogDistanceMode);
        else
          GL.glFogi(kFogDistanceMode, vDefaultFogDistanceMode);
        break;
    }
  }
}

void RegisterGLLightSourceClasses() {
  TPublished<TGLLightSource>()
      .Object("Ambient", &TGLLightSource::Ambient)
      .Float("ConstAttenuation", &TGLLightSource::ConstAttenuation, &TGLLightSource::SetConstAttenuation, 1.0)
      .Object("Diffuse", &TGLLightSource::Diffuse)
      .Float("LinearAttenuation", &TGLLightSource::LinearAttenuation, &TGLLightSource::SetLinearAttenuation, 0.0)
      .Float("QuadraticAttenuation", &TGLLightSource::QuadraticAttenuation, &TGLLightSource::SetQuadraticAttenuation,
             0.0)
      .Object("Position", &TGLLightSource::Position)
      .Enum("LightStyle", &TGLLightSource::LightStyle, &TGLLightSource::SetLightStyle,
            {"lsSpot", "lsOmni", "lsParallel"}, lsSpot)
      .Boolean("Shining", &TGLLightSource::Shining, &TGLLightSource::SetShining, true)
      .Object("Specular", &TGLLightSource::Specular)
      .Float("SpotCutOff", &TGLLightSource::SpotCutOff, &TGLLightSource::SetSpotCutOff, 180.0)
      .Object("SpotDirection", &TGLLightSource::SpotDirection)
      .Float("SpotExponent", &TGLLightSource::SpotExponent, &TGLLightSource::SetSpotExponent, 0.0);
  TPublished<TGLFogEnvironment>()
      .Object("FogColor", &TGLFogEnvironment::FogColor)
      .Float("FogStart", &TGLFogEnvironment::FogStart, &TGLFogEnvironment::SetFogStart, 10.0)
      .Float("FogEnd", &TGLFogEnvironment::FogEnd, &TGLFogEnvironment::SetFogEnd, 1000.0)
      .Enum("FogMode", &TGLFogEnvironment::FogMode, &TGLFogEnvironment::SetFogMode, {"fmLinear", "fmExp", "fmExp2"},
            fmLinear)
      .Enum("FogDistance", &TGLFogEnvironment::FogDistance, &TGLFogEnvironment::SetFogDistance,
            {"fdDefault", "fdEyeRadial", "fdEyePlane"}, fdDefault);
  RegisterClass(TGLLightSource::StaticClass());
}
