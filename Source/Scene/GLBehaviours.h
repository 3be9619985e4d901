// Behaviours and effects: typed items a scene object carries in two collections. Behaviours act
// on the object every frame; effects may also draw after the object. Both progress with it.
#pragma once

#include "Source/Base/XCollection.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLRenderContextInfo.h"

class TGLBaseSceneObject;
class TGLSceneBuffer;

// Base of behaviours and effects; its owner is a collection owned by a scene object.
class TGLBaseBehaviour : public TXCollectionItem {
  RTL_CLASS(TGLBaseBehaviour, TXCollectionItem)
 public:
  TGLBaseBehaviour() = default;
  static std::string FriendlyName() { return "TGLBaseBehaviour"; }

  // The scene object that carries the collection (nullptr when detached).
  TGLBaseSceneObject* OwnerBaseSceneObject() const;
  // Renames, then fires vGLBehaviourNameChangeEvent.
  void SetName(const std::string& Value) override;
  virtual void DoProgress(const TProgressTimes& progressTime);

  // Inherited data, then version 0 (any other version read is refused).
  void WriteToFiler(TWriter* Writer) override;
  void ReadFromFiler(TReader* Reader) override;
};

class TGLBehaviour : public TGLBaseBehaviour {
  RTL_CLASS(TGLBehaviour, TGLBaseBehaviour)
 public:
  TGLBehaviour() = default;
  static std::string FriendlyName() { return "TGLBehaviour"; }
};

// An effect also draws (Render) around its object.
class TGLObjectEffect : public TGLBaseBehaviour {
  RTL_CLASS(TGLObjectEffect, TGLBaseBehaviour)
 public:
  TGLObjectEffect() = default;
  static std::string FriendlyName() { return "TGLObjectEffect"; }
  virtual void Render(TGLSceneBuffer* buffer, TRenderContextInfo& rci);
  // The item's own version 0 after the base data.
  void WriteToFiler(TWriter* Writer) override;
  void ReadFromFiler(TReader* Reader) override;
};

// An effect drawn right after its object, in the object's matrix.
class TGLObjectPostEffect : public TGLObjectEffect {
  RTL_CLASS(TGLObjectPostEffect, TGLObjectEffect)
 public:
  TGLObjectPostEffect() = default;
  static std::string FriendlyName() { return "TGLObjectPostEffect"; }
};

class TGLBehaviours : public TXCollection {
  RTL_CLASS(TGLBehaviours, TXCollection)
 public:
  // The owner must be a scene object (assertion failure otherwise).
  explicit TGLBehaviours(TPersistent* AOwner);
  TClass ItemsClass() const override { return TGLBehaviour::StaticClass(); }
  // Refuses effect classes.
  bool CanAdd(TClass ItemClass) const override;
  std::string GetNamePath() override;
  TGLBehaviour* Behaviour(int index) const;
  // Each item's step (see TXCollection::ForEach); false when the collection was freed meanwhile.
  bool DoProgress(const TProgressTimes& progressTimes);
};

class TGLObjectEffects : public TXCollection {
  RTL_CLASS(TGLObjectEffects, TXCollection)
 public:
  explicit TGLObjectEffects(TPersistent* AOwner);
  TClass ItemsClass() const override { return TGLObjectEffect::StaticClass(); }
  // Accepts only effect classes.
  bool CanAdd(TClass ItemClass) const override;
  std::string GetNamePath() override;
  TGLObjectEffect* ObjectEffect(int index) const;
  // As the behaviours'.
  bool DoProgress(const TProgressTimes& progressTimes);
  // Effects of the pre-render class (none in this program) draw before the object.
  void RenderPreEffects(TGLSceneBuffer* buffer, TRenderContextInfo& rci);
  // Post effects draw now; after-render effects are queued on the buffer.
  void RenderPostEffects(TGLSceneBuffer* buffer, TRenderContextInfo& rci);
};

// Classes that mark pre-render and after-render effects (empty unless a unit sets them).
inline TClass vGLPreRenderEffectClass = nullptr;
inline TClass vGLAfterRenderEffectClass = nullptr;
// Fired after a behaviour or effect is renamed (Sender = the item).
inline TNotifyEvent vGLBehaviourNameChangeEvent;
