// Stencil shadow volumes: for every listed light, the silhouettes of the listed occluders are
// extruded away from the light into the stencil buffer, and the children are then lit only where
// the stencil count is zero (accurate mode) or darkened where it is not (darkening mode).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLSilhouette.h"

class TGLShadowVolume;

enum TGLShadowVolumeCapping : uint8_t { svcDefault, svcAlways, svcNever };
enum TGLShadowCastingMode : uint8_t {
  scmAlways,
  scmVisible,
  scmRecursivelyVisible,
  scmParentVisible,
  scmParentRecursivelyVisible
};

// A listed scene object; the item goes away with its object.
class TGLShadowVolumeCaster : public TCollectionItem {
  RTL_CLASS(TGLShadowVolumeCaster, TCollectionItem)
 public:
  explicit TGLShadowVolumeCaster(TCollection* ACollection) : TCollectionItem(ACollection) {}
  ~TGLShadowVolumeCaster() override;
  void Assign(TPersistent* Source) override;
  // "nil", or "[Light] " / "[Object] " and the caster's name, then " (<radius %.1f>)" when the
  // radius is set.
  std::string GetDisplayName() override;

  TGLBaseSceneObject* Caster() const noexcept { return caster_; }
  void SetCaster(TGLBaseSceneObject* v);
  float EffectiveRadius() const noexcept { return effectiveRadius_; }
  void SetEffectiveRadius(float v) { effectiveRadius_ = v; }
  TGLShadowVolumeCapping Capping() const noexcept { return capping_; }
  void SetCapping(TGLShadowVolumeCapping v) { capping_ = v; }
  TGLShadowCastingMode CastingMode() const noexcept { return castingMode_; }
  void SetCastingMode(TGLShadowCastingMode v) { castingMode_ = v; }
  TGLShadowVolume* ShadowVolume() const;

 private:
  TGLBaseSceneObject* caster_ = nullptr;
  float effectiveRadius_ = 0;
  TGLShadowVolumeCapping capping_ = svcDefault;
  TGLShadowCastingMode castingMode_ = scmRecursivelyVisible;
};

class TGLShadowVolumeOccluder : public TGLShadowVolumeCaster {
  RTL_CLASS(TGLShadowVolumeOccluder, TGLShadowVolumeCaster)
 public:
  using TGLShadowVolumeCaster::TGLShadowVolumeCaster;
};

// A listed light with its silhouette cache, one entry per occluder position. An entry is made
// again when the light moves against its occluder or the occluder's structure changes.
class TGLShadowVolumeLight : public TGLShadowVolumeCaster {
  RTL_CLASS(TGLShadowVolumeLight, TGLShadowVolumeCaster)
 public:
  using TGLShadowVolumeCaster::TGLShadowVolumeCaster;
  TGLLightSource* LightSource() const;
  void SetLightSource(TGLLightSource* v);

  // A silhouette with what it was made from: the light in the occluder's space and the
  // occluder's structure revision.
  struct TCachedSilhouette {
    TAffineVector seenFrom{};
    uint32_t revision = 0;
    bool parallel = false;
    bool capped = false;
    std::unique_ptr<TGLSilhouette> silhouette;
  };
  void FlushSilhouetteCache() { cache_.clear(); }
  int CachedCount() const noexcept { return int(cache_.size()); }
  TGLSilhouette* Cached(int i) const { return i < int(cache_.size()) ? cache_[size_t(i)].silhouette.get() : nullptr; }

 private:
  friend class TGLShadowVolume;
  std::vector<TCachedSilhouette> cache_;
};

class TGLShadowVolumeCasters : public TOwnedCollection {
  RTL_CLASS(TGLShadowVolumeCasters, TOwnedCollection)
 public:
  TGLShadowVolumeCasters(TGLShadowVolume* AOwner, TClass ItemClass);
  TGLShadowVolumeCaster* Items(int i) const { return ItemAs<TGLShadowVolumeCaster>(i); }
  TGLShadowVolumeCaster* AddCaster(TGLBaseSceneObject* obj, float effectiveRadius = 0,
                                   TGLShadowCastingMode castingMode = scmRecursivelyVisible);
  // Deletes the items of that caster.
  void RemoveCaster(TComponent* obj);
  int IndexOfCaster(TGLBaseSceneObject* obj) const;
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;
  TGLShadowVolume* ShadowVolume() const noexcept { return volume_; }

 private:
  TGLShadowVolume* volume_;
};

enum TGLShadowVolumeOption : uint8_t {
  svoShowVolumes,
  svoCacheSilhouettes,
  svoScissorClips,
  svoWorldScissorClip,
  svoDesignVisible
};
using TGLShadowVolumeOptions = TSet<TGLShadowVolumeOption>;
enum TGLShadowVolumeMode : uint8_t { svmAccurate, svmDarkening, svmOff };

class TGLShadowVolume : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLShadowVolume, TGLImmaterialSceneObject)
 public:
  explicit TGLShadowVolume(TComponent* AOwner);
  ~TGLShadowVolume() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  bool Active() const noexcept { return active_; }
  void SetActive(bool v);
  TGLShadowVolumeCasters* Lights() const noexcept { return lights_.get(); }
  // A collection of another item class is an assertion failure.
  void SetLights(TGLShadowVolumeCasters* v);
  TGLShadowVolumeCasters* Occluders() const noexcept { return occluders_.get(); }
  void SetOccluders(TGLShadowVolumeCasters* v);
  TGLShadowVolumeCapping Capping() const noexcept { return capping_; }
  void SetCapping(TGLShadowVolumeCapping v);
  TGLShadowVolumeOptions Options() const noexcept { return options_; }
  // Turning silhouette caching off flushes every light's cache.
  void SetOptions(TGLShadowVolumeOptions v);
  TGLShadowVolumeMode Mode() const noexcept { return mode_; }
  void SetMode(TGLShadowVolumeMode v);
  TGLColor* DarkeningColor() const noexcept { return darkeningColor_.get(); }
  void SetDarkeningColor(TGLColor* v) { darkeningColor_->Assign(v); }

  void FlushSilhouetteCache();
  // The occluders that cast this frame (nullptr for the others), by the casting rules.
  std::vector<TGLShadowVolumeCaster*> SelectCasters(const TRenderContextInfo& rci);
  bool CasterCapped(const TGLShadowVolumeCaster* caster) const;

  // Called by the items when their caster changes.
  void CasterChanged(TGLShadowVolumeCaster* item, TGLBaseSceneObject* oldCaster);

 private:
  bool SetupScissorRect(const TAxisAlignedBox* worldBox, TGLShadowVolumeLight* light, const TVector4f& lightPos,
                        TRenderContextInfo& rci);
  void RenderShadows(TRenderContextInfo& rci);
  bool active_ = true;
  std::unique_ptr<TGLShadowVolumeCasters> lights_, occluders_;
  TGLShadowVolumeCapping capping_ = svcAlways;
  TGLShadowVolumeOptions options_{svoCacheSilhouettes, svoScissorClips};
  TGLShadowVolumeMode mode_ = svmAccurate;
  std::unique_ptr<TGLColor> darkeningColor_;
  bool rendering_ = false;
};

void RegisterGLShadowVolumeClasses();
