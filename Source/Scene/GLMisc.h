// Update-able objects and components: the change-propagation rule of the scene's small value
// objects, the manager registry and enumerations shared by the scene graph and meshes.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Classes.h"

class TGLCoordinates;

// Engine-wide keep-initial-values flag: when set, value objects (colours) keep a copy of their
// initial value, which decides whether they are written when streaming. Off by default.
inline bool vKeepInitialValues = false;

// Time step handed to components that progress with the frame clock.
struct TProgressTimes {
  double deltaTime, newTime;
};

// A persistent value object owned by another persistent (a scene node, a material...).
// NotifyChange reaches the owner only outside BeginUpdate/EndUpdate and only when an owner is set.
class TGLUpdateAbleObject : public TPersistent {
  RTL_CLASS(TGLUpdateAbleObject, TPersistent)
 public:
  using OwnerType = TPersistent;

  explicit TGLUpdateAbleObject(TPersistent* AOwner);

  // With an owner and no update in progress: the owner's NotifyChange (an update-able object
  // first, else an update-able component), then OnNotifyChange. Otherwise nothing.
  virtual void NotifyChange(TObject* Sender);
  TPersistent* GetOwner() override { return owner_; }
  TPersistent* Owner() const noexcept { return owner_; }

  int UpdateCount() const noexcept { return updateCount_; }
  void BeginUpdate() { ++updateCount_; }
  // The last EndUpdate notifies; an unbalanced one is an assertion failure.
  void EndUpdate();

  TNotifyEvent OnNotifyChange;

 private:
  TPersistent* owner_;
  int32_t updateCount_ = 0;
};

// A component that the frame clock can progress.
class TGLCadenceAbleComponent : public TComponent {
  RTL_CLASS(TGLCadenceAbleComponent, TComponent)
 public:
  using TComponent::TComponent;
  virtual void DoProgress(const TProgressTimes& progressTime);
};

// A component whose changes propagate to an update-able owner component.
class TGLUpdateAbleComponent : public TGLCadenceAbleComponent {
  RTL_CLASS(TGLUpdateAbleComponent, TGLCadenceAbleComponent)
 public:
  using TGLCadenceAbleComponent::TGLCadenceAbleComponent;
  virtual void NotifyChange(TObject* Sender);
};

// A component told directly when one of its coordinates changes.
class TGLCoordinatesUpdateAbleComponent : public TGLUpdateAbleComponent {
  RTL_CLASS(TGLCoordinatesUpdateAbleComponent, TGLUpdateAbleComponent)
 public:
  using TGLUpdateAbleComponent::TGLUpdateAbleComponent;
  virtual void CoordinateChanged(TGLCoordinates* Sender) = 0;
};

// Manager registry: components that others refer to by name. Not owning; a manager removes
// itself before it is freed. GUI thread.
int AddToManagerRegistry(TComponent* aManager);
void RemoveFromManagerRegistry(TComponent* aManager);
// The first registered manager of the class (or a descendant) with exactly that name.
TComponent* LookUpRegisteredManager(TClass aClass, const std::string& aName);

enum TGLObjectsSorting : uint8_t {
  osInherited,
  osNone,
  osRenderFarthestFirst,
  osRenderBlendedLast,
  osRenderNearestFirst
};
enum TGLVisibilityCulling : uint8_t { vcInherited, vcNone, vcObjectBased, vcHierarchical };
// Which of vertex, normal, colour and texture coordinate an array holds.
enum TVertexMode : uint8_t { vmV, vmVN, vmVNC, vmVNCT, vmVNT, vmVT };
