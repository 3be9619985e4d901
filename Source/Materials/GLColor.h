// Colours and face properties of materials.
//
// TGLColor holds four contiguous singles (red, green, blue, alpha, not clamped) whose address is
// handed to glColor4fv / glMaterialfv / glLightfv. It is streamed as the binary property "Color"
// (16 bytes, little-endian singles). TGLFaceProperties groups the lighting colours, shininess and
// polygon mode of one face and sends them through the state cache.
//
// Change propagation: a colour without owner changes silently (not even its OnNotifyChange
// fires). With a scene-object owner, the owner's structure is marked changed first.
//
// Not thread-safe: belongs to the rendering (GUI) thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorTypes.h"
#include "Source/Scene/GLMisc.h"
#include "platform/Graphics.h"

struct TRenderContextInfo;
class TGLStateCache;

// The colour value (a system colour resolved first) as RGB bytes / 255, with the given alpha.
void WinColorToColorVector(TColor winColor, TVector4f& vector, float alpha);
TVector4f ConvertWinColor(TColor winColor, float alpha = 1.0f);

constexpr TVector4f clrTransparent{{0, 0, 0, 0}};
constexpr TVector4f clrBlack{{0, 0, 0, 1}};
constexpr TVector4f clrWhite{{1, 1, 1, 1}};
constexpr TVector4f clrGray20{{0.2f, 0.2f, 0.2f, 1}};
constexpr TVector4f clrGray80{{0.8f, 0.8f, 0.8f, 1}};

class TGLColor : public TGLUpdateAbleObject {
  RTL_CLASS(TGLColor, TGLUpdateAbleObject)
 public:
  // Opaque black.
  explicit TGLColor(TPersistent* AOwner);
  // CreateInitialized: the colour is stored without notification; onChange becomes
  // OnNotifyChange.
  TGLColor(TPersistent* AOwner, const TVector4f& color, TNotifyEvent onChange = {});
  ~TGLColor() override;

  // Copies the colour without notifying; keeps a default copy while vKeepInitialValues is set.
  void Initialize(const TVector4f& color);

  // Binary property "Color", written unless a default copy exists and equals the colour bit
  // for bit. Reading does not notify.
  void DefineProperties(TFiler* Filer) override;
  // From another TGLColor: the four singles, then NotifyChange; else inherited.
  void Assign(TPersistent* Source) override;
  void NotifyChange(TObject* Sender) override;

  const TVector4f& Color() const noexcept { return color_; }
  // Copies all four, then notifies.
  void SetColor(const TVector4f& color);
  float GetColorComponent(int index) const noexcept { return color_[index]; }
  // Stores and notifies only when the value differs.
  void SetColorComponent(int index, float value);
  float Red() const noexcept { return color_[0]; }
  float Green() const noexcept { return color_[1]; }
  float Blue() const noexcept { return color_[2]; }
  float Alpha() const noexcept { return color_[3]; }
  void SetRed(float v) { SetColorComponent(0, v); }
  void SetGreen(float v) { SetColorComponent(1, v); }
  void SetBlue(float v) { SetColorComponent(2, v); }
  void SetAlpha(float v) { SetColorComponent(3, v); }

  // Alpha becomes 1.0.
  void SetFromWinColor(TColor value);
  // Each component times 255, rounded half to even and clamped to 0..255.
  TColor ToWinColor() const;
  float* GetColorPtr() noexcept { return color_.V; }
  const float* GetColorPtr() const noexcept { return color_.V; }
  // Red, green, blue each a fresh uniform value in [0, 1) (through SetColorComponent).
  void RandomizeRGB();
  // The kept initial colour, nullptr when none was made.
  const TVector4f* DefaultColor() const noexcept { return default_.get(); }
  // Raw access for stream readers: stores without notification.
  void StoreColor(const TVector4f& color) noexcept { color_ = color; }

 private:
  TVector4f color_{{0, 0, 0, 1}};
  std::unique_ptr<TVector4f> default_;
};

enum TPolygonMode : uint8_t { pmFill, pmLines, pmPoints };
// 0 to 128.
using TShininess = uint8_t;
constexpr int MaxShininess = 128;

// GL_FILL, GL_LINE, GL_POINT.
GLenum PolygonModeToGL(TPolygonMode mode);

class TGLFaceProperties : public TGLUpdateAbleObject {
  RTL_CLASS(TGLFaceProperties, TGLUpdateAbleObject)
 public:
  // Ambient 0.2 grey, diffuse 0.8 grey, emission and specular opaque black, fill, shininess 0.
  explicit TGLFaceProperties(TPersistent* AOwner);
  ~TGLFaceProperties() override;

  // From another TGLFaceProperties: every field, one notification. Anything else: nothing.
  void Assign(TPersistent* Source) override;

  TGLColor* Ambient() const noexcept { return ambient_.get(); }
  TGLColor* Diffuse() const noexcept { return diffuse_.get(); }
  TGLColor* Specular() const noexcept { return specular_.get(); }
  TGLColor* Emission() const noexcept { return emission_.get(); }
  // Copy the four singles into the owned colour, then notify the face properties.
  void SetAmbient(TGLColor* v);
  void SetDiffuse(TGLColor* v);
  void SetSpecular(TGLColor* v);
  void SetEmission(TGLColor* v);

  TPolygonMode PolygonMode() const noexcept { return polygonMode_; }
  void SetPolygonMode(TPolygonMode v);
  TShininess Shininess() const noexcept { return shininess_; }
  // Values above 128 are stored as 128.
  void SetShininess(int v);
  // Raw access for stream readers: stored (at most 128) without notification.
  void StoreShininess(int v) noexcept { shininess_ = TShininess(v < 0 ? 0 : v > MaxShininess ? MaxShininess : v); }

  // Same colours, shininess and polygon mode.
  bool SameLook(const TGLFaceProperties& other) const noexcept;
  // Lit: material colours and shininess through the cache, then the face's polygon mode.
  void Apply(TRenderContextInfo& rci, GLenum face);
  void Apply(TGLStateCache& cache, GLenum face);
  // Unlit: glColor4fv of the diffuse colour, then the polygon mode.
  void ApplyNoLighting(TRenderContextInfo& rci, GLenum face);
  void ApplyNoLighting(TGLStateCache& cache, GLenum face);

 private:
  void CopyColor(TGLColor& target, const TGLColor* source);
  std::unique_ptr<TGLColor> ambient_, diffuse_, specular_, emission_;
  TPolygonMode polygonMode_ = pmFill;
  TShininess shininess_ = 0;
};

// Registers the classes and published properties of this unit.
void RegisterGLColorClasses();
