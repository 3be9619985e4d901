// Change propagation of update-able objects and components, and the manager registry.
#include "Source/Scene/GLMisc.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "Source/Scene/GLStrings.h"

TGLUpdateAbleObject::TGLUpdateAbleObject(TPersistent* AOwner) : owner_(AOwner) {}

void TGLUpdateAbleObject::NotifyChange(TObject* /*Sender*/) {
  if (updateCount_ != 0 || !owner_) return;
  if (owner_->Is<TGLUpdateAbleObject>())
    static_cast<TGLUpdateAbleObject*>(owner_)->NotifyChange(this);
  else if (owner_->Is<TGLUpdateAbleComponent>())
    static_cast<TGLUpdateAbleComponent*>(owner_)->NotifyChange(this);
  if (OnNotifyChange) OnNotifyChange(this);
}

void TGLUpdateAbleObject::EndUpdate() {
  RTL_ASSERT(updateCount_ > 0, glsUnBalancedBeginEndUpdate);
  if (--updateCount_ == 0) NotifyChange(this);
}

void TGLCadenceAbleComponent::DoProgress(const TProgressTimes& /*progressTime*/) {}

void TGLUpdateAbleComponent::NotifyChange(TObject* /*Sender*/) {
  TComponent* owner = Owner();
  if (owner && owner->Is<TGLUpdateAbleComponent>()) static_cast<TGLUpdateAbleComponent*>(owner)->NotifyChange(this);
}

// ---- manager registry --------------------------------------------------------------------

namespace {
// Created on first registration, freed at shutdown.
std::unique_ptr<std::vector<TComponent*>>& ManagerRegistry() {
  static std::unique_ptr<std::vector<TComponent*>> registry;
  return registry;
}
}  // namespace

int AddToManagerRegistry(TComponent* aManager) {
  auto& reg = ManagerRegistry();
  if (!reg) reg = std::make_unique<std::vector<TComponent*>>();
  const auto it = std::find(reg->begin(), reg->end(), aManager);
  if (it != reg->end()) return int(it - reg->begin());
  reg->push_back(aManager);
  return int(reg->size()) - 1;
}

void RemoveFromManagerRegistry(TComponent* aManager) {
  auto& reg = ManagerRegistry();
  if (!reg) return;
  reg->erase(std::remove(reg->begin(), reg->end(), aManager), reg->end());
}

TComponent* LookUpRegisteredManager(TClass aClass, const std::string& aName) {
  const auto& reg = ManagerRegistry();
  if (!reg) return nullptr;
  for (TComponent* m : *reg)
    if (m->InheritsFrom(aClass) && m->Name() == aName) return m;
  return nullptr;
}
