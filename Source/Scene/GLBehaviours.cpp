// Behaviour and effect collections of scene objects: ownership, progress and archives.
#include "Source/Scene/GLBehaviours.h"

#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"

namespace {

void ReadVersion0(TReader* Reader, const std::string& className) {
  const int32_t version = Reader->ReadInteger();
  // Stored data of an unknown layout is refused, never read as if it fitted.
  if (version != 0) throw EReadError(className + " : unknown archive version " + std::to_string(version));
}

TGLBaseSceneObject* SceneObjectOf(TPersistent* owner) {
  return owner && owner->Is<TGLBaseSceneObject>() ? static_cast<TGLBaseSceneObject*>(owner) : nullptr;
}

}  // namespace

// --- items

TGLBaseSceneObject* TGLBaseBehaviour::OwnerBaseSceneObject() const {
  return Owner() ? SceneObjectOf(Owner()->Owner()) : nullptr;
}

void TGLBaseBehaviour::SetName(const std::string& Value) {
  inherited::SetName(Value);
  if (vGLBehaviourNameChangeEvent) vGLBehaviourNameChangeEvent(this);
}

void TGLBaseBehaviour::DoProgress(const TProgressTimes&) {}

void TGLBaseBehaviour::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
}

void TGLBaseBehaviour::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion0(Reader, ClassName());
}

void TGLObjectEffect::Render(TGLSceneBuffer*, TRenderContextInfo&) {}

void TGLObjectEffect::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
}

void TGLObjectEffect::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion0(Reader, ClassName());
}

// --- collections

TGLBehaviours::TGLBehaviours(TPersistent* AOwner) : TXCollection(AOwner) {
  RTL_ASSERT(SceneObjectOf(AOwner) != nullptr, "Behaviours need a scene object as owner");
}

bool TGLBehaviours::CanAdd(TClass ItemClass) const {
  if (ItemClass && ItemClass->InheritsFrom(TGLObjectEffect::StaticClass())) return false;
  return TXCollection::CanAdd(ItemClass);
}

std::string TGLBehaviours::GetNamePath() {
  TPersistent* o = Owner();
  return (o ? o->GetNamePath() : std::string()) + ".Behaviours";
}

TGLBehaviour* TGLBehaviours::Behaviour(int index) const { return static_cast<TGLBehaviour*>(Items(index)); }

bool TGLBehaviours::DoProgress(const TProgressTimes& progressTimes) {
  return ForEach([&](TXCollectionItem* item) { static_cast<TGLBaseBehaviour*>(item)->DoProgress(progressTimes); });
}

TGLObjectEffects::TGLObjectEffects(TPersistent* AOwner) : TXCollection(AOwner) {
  RTL_ASSERT(SceneObjectOf(AOwner) != nullptr, "Effects need a scene object as owner");
}

bool TGLObjectEffects::CanAdd(TClass ItemClass) const {
  if (!ItemClass || !ItemClass->InheritsFrom(TGLObjectEffect::StaticClass())) return false;
  return TXCollection::CanAdd(ItemClass);
}

std::string TGLObjectEffects::GetNamePath() {
  TPersistent* o = Owner();
  return (o ? o->GetNamePath() : std::string()) + ".Effects";
}

TGLObjectEffect* TGLObjectEffects::ObjectEffect(int index) const { return static_cast<TGLObjectEffect*>(Items(index)); }

bool TGLObjectEffects::DoProgress(const TProgressTimes& progressTimes) {
  return ForEach([&](TXCollectionItem* item) { static_cast<TGLBaseBehaviour*>(item)->DoProgress(progressTimes); });
}

void TGLObjectEffects::RenderPreEffects(TGLSceneBuffer* buffer, TRenderContextInfo& rci) {
  if (!vGLPreRenderEffectClass) return;
  ForEach([&](TXCollectionItem* item) {
    auto* e = static_cast<TGLObjectEffect*>(item);
    if (e->InheritsFrom(vGLPreRenderEffectClass)) e->Render(buffer, rci);
  });
}

void TGLObjectEffects::RenderPostEffects(TGLSceneBuffer* buffer, TRenderContextInfo& rci) {
  ForEach([&](TXCollectionItem* item) {
    auto* e = static_cast<TGLObjectEffect*>(item);
    if (e->Is<TGLObjectPostEffect>())
      e->Render(buffer, rci);
    else if (vGLAfterRenderEffectClass && e->InheritsFrom(vGLAfterRenderEffectClass) && buffer)
      buffer->AfterRenderEffects().push_back(e);
  });
}
