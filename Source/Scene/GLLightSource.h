// Light sources (one fixed-function OpenGL light each) and the fog set-up of a buffer.
#pragma once

#include <memory>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLSceneGraph.h"

enum TLightStyle : uint8_t { lsSpot, lsOmni, lsParallel };

class TGLLightSource : public TGLBaseSceneObject {
  RTL_CLASS(TGLLightSource, TGLBaseSceneObject)
 public:
  explicit TGLLightSource(TComponent* AOwner);
  ~TGLLightSource() override;
  void Assign(TPersistent* Source) override;
  void CoordinateChanged(TGLCoordinates* Sender) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters&) override { return nullptr; }
  uint32_t GetListHandle(TRenderContextInfo&) override { return 0; }
  bool HasAttenuation() const;

  // GL_LIGHT0 + slot, 0 while the light has no slot.
  uint32_t LightID() const noexcept { return lightID_; }
  void SetLightID(uint32_t v) noexcept { lightID_ = v; }

  TGLCoordinates* SpotDirection() const noexcept { return spotDirection_.get(); }
  void SetSpotDirection(TGLCoordinates* v);
  // Clamped into [0, 128], the exponents GL takes; a value that is not a number is refused
  // (EInvalidOperation; ignored with a message while the light is read from a stream).
  float SpotExponent() const noexcept { return spotExponent_; }
  void SetSpotExponent(float v);
  // Accepted in [0, 90] or exactly 180; other values are ignored.
  float SpotCutOff() const noexcept { return spotCutOff_; }
  void SetSpotCutOff(float v);
  // Attenuations below 0 become 0; values that are not numbers are refused as above.
  float ConstAttenuation() const noexcept { return constAttenuation_; }
  void SetConstAttenuation(float v);
  float LinearAttenuation() const noexcept { return linearAttenuation_; }
  void SetLinearAttenuation(float v);
  float QuadraticAttenuation() const noexcept { return quadraticAttenuation_; }
  void SetQuadraticAttenuation(float v);
  bool Shining() const noexcept { return shining_; }
  void SetShining(bool v);
  TGLColor* Ambient() const noexcept { return ambient_.get(); }
  void SetAmbient(TGLColor* v);
  TGLColor* Diffuse() const noexcept { return diffuse_.get(); }
  void SetDiffuse(TGLColor* v);
  TGLColor* Specular() const noexcept { return specular_.get(); }
  void SetSpecular(TGLColor* v);
  TLightStyle LightStyle() const noexcept { return lightStyle_; }
  void SetLightStyle(TLightStyle v);

 private:
  bool SetAttenuation(const char* property, float& field, float v);
  uint32_t lightID_ = 0;
  std::unique_ptr<TGLCoordinates> spotDirection_;
  float spotExponent_ = 0;
  float spotCutOff_ = 180;
  float constAttenuation_ = 1;
  float linearAttenuation_ = 0;
  float quadraticAttenuation_ = 0;
  bool shining_ = true;
  std::unique_ptr<TGLColor> ambient_, diffuse_, specular_;
  TLightStyle lightStyle_ = lsSpot;
};

enum TFogMode : uint8_t { fmLinear, fmExp, fmExp2 };
enum TFogDistance : uint8_t { fdDefault, fdEyeRadial, fdEyePlane };

class TGLFogEnvironment : public TGLUpdateAbleObject {
  RTL_CLASS(TGLFogEnvironment, TGLUpdateAbleObject)
 public:
  // The owner is the buffer.
  explicit TGLFogEnvironment(TPersistent* AOwner);
  ~TGLFogEnvironment() override;
  void Assign(TPersistent* Source) override;
  bool IsAtDefaultValues() const;
  // Programs GL fog (activating the buffer's context when it is not current).
  void ApplyFog();

  TGLColor* FogColor() const noexcept { return fogColor_.get(); }
  void SetFogColor(TGLColor* v);
  float FogStart() const noexcept { return fogStart_; }
  void SetFogStart(float v);
  float FogEnd() const noexcept { return fogEnd_; }
  void SetFogEnd(float v);
  TFogMode FogMode() const noexcept { return fogMode_; }
  void SetFogMode(TFogMode v);
  TFogDistance FogDistance() const noexcept { return fogDistance_; }
  void SetFogDistance(TFogDistance v);

 private:
  std::unique_ptr<TGLColor> fogColor_;
  float fogStart_ = 10;
  float fogEnd_ = 1000;
  TFogMode fogMode_ = fmLinear;
  TFogDistance fogDistance_ = fdDefault;
};
void RegisterGLLightSourceClasses();
