// The scene graph: scene objects (nodes with a local frame, cached matrices, owned children, a
// display list and behaviours), the ways of drawing them, and the scene that owns two root trees,
// the light table and the buffers that show it. The camera, lights and buffer have their own
// headers, included at the end, so including this header gives the whole scene.
//
// Ownership: a parent frees its children; an object also stays a component of its owner, and
// whichever goes first takes it out of the other. References to objects that may die first
// (proxy master, camera target, buffer camera) are cleared through free notification.
// GUI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Source/Base/GeometryBB.h"
#include "Source/Base/ListWalk.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLBehaviours.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSilhouette.h"
#include "Source/Scene/GLState.h"

class TGLSceneGraph;
struct TGLBatchArrays;
class TGLSceneBuffer;
class TGLCamera;
class TGLLightSource;
class TGLMaterial;

// Object style flags.
enum TGLObjectStyle : uint8_t {
  osDirectDraw = 1,          // geometry emitted every frame, not through the display list
  osStateChanging = 2,       // the state cache forgets material, face and texture state after it
  osIgnoreDepthBuffer = 4,   // depth test off while it draws
  osNoVisibilityCulling = 8  // never culled
};
using TGLObjectStyles = uint8_t;

// Change flags.
enum TGLObjectChange : uint8_t {
  ocTransformation = 1,  // local matrix stale
  ocAbsoluteMatrix = 2,
  ocInvAbsoluteMatrix = 4,
  ocStructure = 8  // display list stale
};

class TGLBaseSceneObject;

// Hears of every scene object freed on its thread while it lives: code that calls what may free
// objects (a draw handler) learns which went. Listeners live on the stack and end in the reverse
// order of their start.
class TGLFreedObjectListener {
 public:
  TGLFreedObjectListener() noexcept : below_(top_) { top_ = this; }
  virtual ~TGLFreedObjectListener() { top_ = below_; }
  TGLFreedObjectListener(const TGLFreedObjectListener&) = delete;
  TGLFreedObjectListener& operator=(const TGLFreedObjectListener&) = delete;
  // From the object's destructor.
  static void Tell(const TGLBaseSceneObject* obj) noexcept {
    for (TGLFreedObjectListener* l = top_; l; l = l->below_) l->ObjectFreed(obj);
  }

 protected:
  virtual void ObjectFreed(const TGLBaseSceneObject* obj) noexcept = 0;

 private:
  static inline thread_local TGLFreedObjectListener* top_ = nullptr;
  TGLFreedObjectListener* below_;
};

// Whether one object was freed while the watch lived.
class TGLObjectWatch final : public TGLFreedObjectListener {
 public:
  explicit TGLObjectWatch(const TGLBaseSceneObject* obj) noexcept : obj_(obj) {}
  bool Freed() const noexcept { return obj_ == nullptr; }

 protected:
  void ObjectFreed(const TGLBaseSceneObject* obj) noexcept override {
    if (obj == obj_) obj_ = nullptr;
  }

 private:
  const TGLBaseSceneObject* obj_;
};

// An object's flag set for a scope, and cleared at its end unless the object was freed meanwhile.
class TGLObjectFlagScope {
 public:
  TGLObjectFlagScope(const TGLObjectWatch& watch, bool& flag) noexcept : watch_(watch), flag_(flag) { flag_ = true; }
  ~TGLObjectFlagScope() {
    if (!watch_.Freed()) flag_ = false;
  }
  TGLObjectFlagScope(const TGLObjectFlagScope&) = delete;
  TGLObjectFlagScope& operator=(const TGLObjectFlagScope&) = delete;

 private:
  const TGLObjectWatch& watch_;
  bool& flag_;
};

// A scene object's progress handler: a std::function that tells its object
// when it is set, so a progress step that passed over the object (as one with
// nothing to do) takes it in again.
class TGLObjectProgressEvent {
 public:
  explicit TGLObjectProgressEvent(TGLBaseSceneObject* owner) noexcept : owner_(owner) {}
  TGLObjectProgressEvent(const TGLObjectProgressEvent&) = delete;
  TGLObjectProgressEvent& operator=(const TGLObjectProgressEvent& other) {
    handler_ = other.handler_;
    Changed();
    return *this;
  }
  // clang-format 14 would fold the requires clause into the declaration.
  // clang-format off
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TGLObjectProgressEvent>)
  TGLObjectProgressEvent& operator=(F&& f) {
    // clang-format on
    handler_ = std::forward<F>(f);
    Changed();
    return *this;
  }
  explicit operator bool() const noexcept { return bool(handler_); }
  void operator()(TObject* sender, double deltaTime, double newTime) const { handler_(sender, deltaTime, newTime); }
  const TGLProgressEvent& Handler() const noexcept { return handler_; }

 private:
  void Changed() noexcept;
  TGLProgressEvent handler_;
  TGLBaseSceneObject* owner_;
};

// Objects of exactly this class (not of classes derived from it) do nothing in
// a progress step beyond what their children, behaviours, effects and
// progress handler do: a parent whose children are all such objects, without
// any of those, passes over them in its steps. GUI thread.
void RegisterProgressFreeClass(TClass cls);

class TGLBaseSceneObject : public TGLCoordinatesUpdateAbleComponent {
  RTL_CLASS(TGLBaseSceneObject, TGLCoordinatesUpdateAbleComponent)
 public:
  explicit TGLBaseSceneObject(TComponent* AOwner);
  ~TGLBaseSceneObject() override;

  // --- streaming and component protocol
  void DefineProperties(TFiler* Filer) override;
  void Assign(TPersistent* Source) override;
  void Loaded() override;
  void SetName(const std::string& NewName) override;
  void GetChildren(const std::function<void(TComponent*)>& Proc, TComponent* Root) override;
  bool HasParent() override { return true; }
  TComponent* GetParentComponent() override;
  void SetParentComponent(TComponent* Value) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // --- change propagation
  void DoProgress(const TProgressTimes& progressTime) override;
  void NotifyChange(TObject* Sender) override;
  void CoordinateChanged(TGLCoordinates* Sender) override;
  void TransformationChanged();
  void MarkStructureChanged();
  void ClearStructureChanged() { changes_ &= ~ocStructure; }
  uint8_t Changes() const noexcept { return changes_; }
  // Counts MarkStructureChanged calls: what is made from the geometry outside the object's own
  // list (a shadow volume's silhouettes) compares it to tell it is stale.
  uint32_t StructureRevision() const noexcept { return structureRevision_; }
  virtual void BeginUpdate();
  virtual void EndUpdate();
  bool IsUpdating() const noexcept { return updateCount_ != 0; }

  // --- slot operations
  virtual void SetVisible(bool value);
  virtual bool IsBlended() { return false; }
  virtual uint32_t GetListHandle(TRenderContextInfo& rci);
  // glCallList of the list (compiled first when needed); the state cache then takes what the
  // list leaves in GL.
  void CallListHandle(TRenderContextInfo& rci);
  virtual TVector4f BarycentreAbsolutePosition();
  virtual TVector4f AxisAlignedDimensionsUnscaled();
  virtual bool PointInObject(const TVector4f& point);
  virtual bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector,
                                TVector4f* intersectPoint = nullptr, TVector4f* intersectNormal = nullptr);
  // Caller frees the result (nullptr when the object has none).
  virtual TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters);
  virtual void BuildList(TRenderContextInfo& rci);
  virtual void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren);
  virtual void RenderChildren(int firstChildIndex, int lastChildIndex, TRenderContextInfo& rci);
  // Drawing in batches: siblings drawn one after the other that join batches and look the
  // same are drawn under the first one's material in one go, each giving its geometry already
  // carried by its own local matrix, instead of one matrix, material and draw call each. An
  // object joins only when its class can (it says so here) and nothing else of the walk
  // applies to it (plain rendering, no children, axes, effects or culling). Off by default.
  virtual bool JoinsBatches() { return false; }
  // Whether the other object (one that joins batches) draws with the same look, so both can
  // be drawn under this one's material.
  virtual bool SameBatchLookAs(TGLBaseSceneObject&) { return false; }
  // Emits the object's geometry carried by its local matrix (the material is applied).
  virtual void EmitInBatch(TRenderContextInfo&) {}
  // Appends the same geometry as triangles to arrays the batch draws in one call; false when
  // the object draws only through EmitInBatch.
  virtual bool AppendToBatch(TGLBatchArrays&) { return false; }
  // Frees the GL names this object holds (display list; materials add theirs).
  virtual void DestroyHandle();
  void DestroyHandles();  // the whole subtree, children first

  // --- geometry
  TVector4f AxisAlignedDimensions();
  float GetBoundingSphereRadius();
  float DistanceToPoint(const TVector4f& pt);
  float SqrDistanceToBarycentre(const TVector4f& pt);
  const TMatrix4f* GetAbsoluteMatrixPtr();
  TMatrix4f AbsoluteMatrix() { return *GetAbsoluteMatrixPtr(); }
  void CopyAbsoluteMatrix(TMatrix4f& m) { m = *GetAbsoluteMatrixPtr(); }
  const TMatrix4f* GetInvAbsoluteMatrixPtr();
  TMatrix4f InvAbsoluteMatrix() { return *GetInvAbsoluteMatrixPtr(); }
  const TMatrix4f* GetLocalMatrixPtr();
  TMatrix4f LocalMatrix() { return *GetLocalMatrixPtr(); }
  void RebuildMatrix();  // local matrix up to date
  TVector4f GetAbsolutePosition();
  TVector4f AbsolutePosition() { return GetAbsolutePosition(); }
  void SetAbsolutePosition(const TVector4f& v);
  TVector4f GetAbsoluteDirection();
  TVector4f GetAbsoluteUp();
  TVector4f AbsoluteToLocalVector(const TVector4f& v);
  TVector4f AbsoluteToLocalAffine(const TVector4f& v);  // a point (W = 1)
  TVector4f LocalToAbsoluteVector(const TVector4f& v);
  TVector4f LocalToAbsolute(const TVector4f& v);  // a point
  TVector4f RightVector();
  TVector4f LeftVector();
  void MoveAlongDirection(float distance);
  void MoveAlongUp(float distance);
  TAxisAlignedBox GetBoundingBoxWithChildren();
  void SetMatrix(const TMatrix4f& m);
  void PointToObject(TGLBaseSceneObject* anObject, const TVector4f& upVector);
  void Pitch(float angle);
  void Roll(float angle);
  void Turn(float angle);

  // --- hierarchy
  TGLBaseSceneObject* GetChild(int index) const;
  TGLBaseSceneObject* Children(int index) const { return GetChild(index); }
  int GetChildCount() const noexcept { return children_ ? int(children_->size()) : 0; }
  int Count() const noexcept { return GetChildCount(); }
  bool HasChildList() const noexcept { return children_ != nullptr; }
  int GetIndex() const;
  void SetIndex(int aValue);
  TGLBaseSceneObject* FindChildByName(const std::string& aName, bool ownChildrenOnly = false);
  void MoveTo(TGLBaseSceneObject* newParent);
  void AddChild(TGLBaseSceneObject* aChild);
  void Insert(int aIndex, TGLBaseSceneObject* aChild);
  void Remove(TGLBaseSceneObject* aChild, bool keepChildren);
  // Takes these direct children out as Remove (keepChildren false) does, with
  // one pass over the child list and one change notification; the caller
  // then frees them. Objects that are not direct children are left alone.
  void RemoveChildren(const std::vector<TGLBaseSceneObject*>& list);
  void DeleteChildren();
  TGLBaseSceneObject* AddNewChild(TClass aChild);
  TGLBaseSceneObject* AddNewChildFirst(TClass aChild);
  template <class T>
  T* AddNewChild() {
    return static_cast<T*>(AddNewChild(T::StaticClass()));
  }
  TGLBaseSceneObject* Parent() const noexcept { return parent_; }
  TGLSceneGraph* Scene() const noexcept { return scene_; }
  bool IsChildOf(const TGLBaseSceneObject* ancestor) const;

  // --- display list
  bool HasValidListHandle() const;
  // The list of the state set drawn last.
  TGLListHandle* ListHandle() const noexcept;

  // --- properties
  TGLCoordinates* Position() const noexcept { return &position_; }
  void SetPosition(TGLCoordinates* v) { position_.AssignVector(v->AsVector()); }
  TGLCoordinates* Direction() const noexcept { return &direction_; }
  void SetDirection(TGLCoordinates* v) { direction_.AssignVector(v->AsVector()); }
  TGLCoordinates* Up() const noexcept { return &up_; }
  void SetUp(TGLCoordinates* v) { up_.AssignVector(v->AsVector()); }
  TGLCoordinates* Scale() const noexcept { return &scaling_; }
  void SetScale(TGLCoordinates* v) { scaling_.AssignVector(v->AsVector()); }
  TGLCoordinates* Rotation() const noexcept { return &rotation_; }
  float PitchAngle() const { return rotation_.X(); }
  void SetPitchAngle(float v);
  float TurnAngle() const { return rotation_.Y(); }
  void SetTurnAngle(float v);
  float RollAngle() const { return rotation_.Z(); }
  void SetRollAngle(float v);
  bool Visible() const noexcept { return visible_; }
  bool ShowAxes() const noexcept { return showAxes_; }
  void SetShowAxes(bool v);
  TGLObjectsSorting ObjectsSorting() const noexcept { return objectsSorting_; }
  void SetObjectsSorting(TGLObjectsSorting v);
  TGLVisibilityCulling VisibilityCulling() const noexcept { return visibilityCulling_; }
  void SetVisibilityCulling(TGLVisibilityCulling v);
  float TagFloat() const noexcept { return tagFloat_; }
  void SetTagFloat(float v) noexcept { tagFloat_ = v; }
  TGLObjectStyles ObjectStyle() const noexcept { return objectStyle_; }
  void SetObjectStyle(TGLObjectStyles v) noexcept { objectStyle_ = v; }
  // Created on first read.
  TGLBehaviours* Behaviours();
  void SetBehaviours(TGLBehaviours* v);
  TGLObjectEffects* Effects();
  void SetEffects(TGLObjectEffects* v);
  // Without creating them.
  TGLBehaviours* BehavioursIfAny() const noexcept { return behaviours_.get(); }
  TGLObjectEffects* EffectsIfAny() const noexcept { return effects_.get(); }
  // New at each change the object is told of (NotifyChange, MarkStructureChanged: its
  // material's changes included) and never the same for two objects, so that what is worked
  // out from the object's state can be kept while its stamp stays.
  uint64_t ChangeStamp() const noexcept { return changeStamp_; }
  // Starts reading what a render walk reads of the object: its flags, frame and children. A
  // walk over thousands of objects calls it some objects ahead, so it does not wait on each
  // one's memory in turn; PrefetchMoreForWalk, called once the object is read, goes on to what
  // it points at (its material).
  virtual void PrefetchMoreForWalk() const noexcept {}
  void PrefetchForWalk() const noexcept {
    __builtin_prefetch(this);
    __builtin_prefetch(&changes_);
    __builtin_prefetch(&localMatrix_);
    __builtin_prefetch(&localMatrix_[3]);
    __builtin_prefetch(&visible_);
    __builtin_prefetch(&effects_);
  }

  TGLObjectProgressEvent OnProgress{this};

  // Draws the six axis lines (length = the current camera's depth of view).
  void DrawAxes(TRenderContextInfo& rci, uint16_t pattern);

  // The scene of a subtree; frees the subtree's GL names when the scene changes.
  void SetScene(TGLSceneGraph* value);

 protected:
  // Render pass friends.
  friend class TGLSceneGraph;
  friend class TGLSceneRootObject;
  bool IsLoadingOrReading() const;
  // For setters of values GL or the projection cannot use: true when usable; otherwise raises
  // EInvalidOperation ("<class> '<name>': <property> <v> <fault>"), or while the object is
  // read from a stream reports that on stderr and gives false (the value before is kept, and
  // the rest of the stored scene still reads).
  bool TakeValue(const char* property, float v, bool usable, const char* fault);
  // Draws these children, in this order, one by one, as the children walk does: one that left
  // before its turn (a sibling's drawing freed or moved it) is not reached. False when this
  // object itself went meanwhile: the caller must not touch it then.
  bool RenderEachChild(std::vector<TGLBaseSceneObject*>&& children, TRenderContextInfo& rci);
  friend class TGLObjectProgressEvent;
  // Whether a progress step has nothing to do for this object: a leaf of a
  // progress-free class without behaviours, effects or a progress handler.
  bool ProgressFreeLeaf() const;
  // This object may have something to do in a progress step from now on: its
  // parent's steps walk over it again.
  void ProgressMayBeNeeded() noexcept {
    if (parent_) parent_->childrenProgressFree_ = false;
  }
  // A child came: the children stay known as progress-free only if it is so.
  void ChildCameForProgress(TGLBaseSceneObject* child) {
    if (childrenProgressFree_ && !child->ProgressFreeLeaf()) childrenProgressFree_ = false;
  }
  void MarkSubtreeAbsoluteStale();
  void MarkChildrenAbsoluteStale();
  uint8_t changes_ = ocTransformation | ocAbsoluteMatrix | ocInvAbsoluteMatrix | ocStructure;
  uint32_t structureRevision_ = 0;
  TGLObjectStyles objectStyle_ = 0;

 private:
  // The frame lives inside the object, next to the change flags: a turn
  // reads and writes up, direction and rotation without following pointers.
  // Handed out for writing by the const getters, as they always were.
  mutable TGLCoordinates up_{this, VectorMake(0, 1, 0, 0), csVector};
  mutable TGLCoordinates direction_{this, VectorMake(0, 0, 1, 0), csVector};
  mutable TGLCoordinates rotation_{this, VectorMake(0, 0, 0, 0), csVector};
  mutable TGLCoordinates position_{this, VectorMake(0, 0, 0, 1), csPoint};
  mutable TGLCoordinates scaling_{this, VectorMake(1, 1, 1, 0), csVector};
  static void RepairFrame(TGLCoordinates* changed, TGLCoordinates* other, bool changedIsDirection);
  void RotateFrame(const TAffineVector& axis, float rad);
  void ComputeAbsoluteMatrix();
  void ComputeInvAbsoluteMatrix();
  void ListAbsoluteFresh();
  void UnlistAbsoluteFresh(TGLBaseSceneObject* child);
  void FreeCamerasInSubtree();
  // Direct children by name, letter case ignored: made on the first lookup
  // among many children, then kept up to date by every change of the list or
  // of a name. A name held by several children is found by a scan, so the
  // first wins.
  struct TChildNameIndex;
  TGLBaseSceneObject* FindDirectChild(const std::string& aName);
  void IndexChild(TGLBaseSceneObject* child);
  void UnindexChild(TGLBaseSceneObject* child, const std::string& name);

  std::unique_ptr<std::array<TMatrix4f, 2>> absoluteMatrices_;  // absolute, then inverse
  TMatrix4f localMatrix_;
  // The display lists, one per state set they were compiled for.
  std::unique_ptr<TGLStateLists> lists_;
  TGLBaseSceneObject* parent_ = nullptr;
  TGLSceneGraph* scene_ = nullptr;
  std::unique_ptr<std::vector<TGLBaseSceneObject*>> children_;
  // The progress and render walks over children_ in progress: a child that leaves is not reached.
  TListWalkers<TGLBaseSceneObject*> childWalks_;
  std::unique_ptr<TChildNameIndex> childIndex_;
  // Children whose absolute matrices may be up to date (every other child has
  // both marked stale): a change of this object's frame marks only these, so
  // the cost follows what was computed since, not how many children there are.
  std::unique_ptr<std::vector<TGLBaseSceneObject*>> freshChildren_;
  bool absoluteFreshListed_ = false;  // held in the parent's freshChildren_
  bool visible_ = true;
  int32_t updateCount_ = 0;
  bool showAxes_ = false;
  bool busy_ = false;
  bool renderFailureReported_ = false;  // a failure of its drawing was logged
  // Every child is a ProgressFreeLeaf, as found by the last progress step and
  // kept up to date since by what can change it (false: not known).
  bool childrenProgressFree_ = false;
  TGLObjectsSorting objectsSorting_ = osInherited;
  TGLVisibilityCulling visibilityCulling_ = vcInherited;
  uint64_t changeStamp_ = NewChangeStamp();
  static uint64_t NewChangeStamp() noexcept;
  std::unique_ptr<TGLBehaviours> behaviours_;
  std::unique_ptr<TGLObjectEffects> effects_;
  float tagFloat_ = 0;
};

// A scene object with a material (owned, created on first use).
class TGLCustomSceneObject : public TGLBaseSceneObject {
  RTL_CLASS(TGLCustomSceneObject, TGLBaseSceneObject)
 public:
  explicit TGLCustomSceneObject(TComponent* AOwner);
  ~TGLCustomSceneObject() override;
  void Assign(TPersistent* Source) override;
  bool IsBlended() override;
  void Loaded() override;
  void DestroyHandle() override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  TGLMaterial* Material();
  void SetMaterial(TGLMaterial* value);
  bool HasMaterial() const noexcept { return material_ != nullptr; }
  void PrefetchMoreForWalk() const noexcept override {
    if (!material_) return;
    __builtin_prefetch(material_);
    __builtin_prefetch(reinterpret_cast<const char*>(material_) + 64);
  }
  const std::string& Hint() const noexcept { return hint_; }
  void SetHint(const std::string& v) { hint_ = v; }

 private:
  TGLMaterial* material_ = nullptr;  // owned; deleted in the destructor
  std::string hint_;
};

class TGLSceneObject : public TGLCustomSceneObject {
  RTL_CLASS(TGLSceneObject, TGLCustomSceneObject)
 public:
  using TGLCustomSceneObject::TGLCustomSceneObject;
};

// Drawn without a material.
class TGLImmaterialSceneObject : public TGLCustomSceneObject {
  RTL_CLASS(TGLImmaterialSceneObject, TGLCustomSceneObject)
 public:
  using TGLCustomSceneObject::TGLCustomSceneObject;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
};

enum TGLCameraInvarianceMode : uint8_t { cimNone, cimPosition, cimOrientation };

class TGLCameraInvariantObject : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLCameraInvariantObject, TGLImmaterialSceneObject)
 public:
  explicit TGLCameraInvariantObject(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  TGLCameraInvarianceMode CamInvarianceMode() const noexcept { return camInvarianceMode_; }
  void SetCamInvarianceMode(TGLCameraInvarianceMode v);

 private:
  TGLCameraInvarianceMode camInvarianceMode_ = cimNone;
};

// Drawn by user code (OnRender), every frame or compiled into the display list.
class TGLDirectOpenGL : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLDirectOpenGL, TGLImmaterialSceneObject)
 public:
  explicit TGLDirectOpenGL(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  bool IsBlended() override { return blend_; }
  bool UseBuildList() const noexcept { return useBuildList_; }
  void SetUseBuildList(bool v);
  bool Blend() const noexcept { return blend_; }
  void SetBlend(bool v);
  TDirectRenderEvent OnRender;

 private:
  bool useBuildList_ = false;
  bool blend_ = false;
};

// Calls registered render callbacks in order. A callback may register others (called from the
// next pass on), clear the list or free the render point.
class TGLRenderPoint : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLRenderPoint, TGLImmaterialSceneObject)
 public:
  explicit TGLRenderPoint(TComponent* AOwner);
  ~TGLRenderPoint() override;
  void BuildList(TRenderContextInfo& rci) override;
  void RegisterCallBack(TDirectRenderEvent renderEvent, TNotifyEvent renderPointFreed);
  // Calls the free callbacks from the last to the first, dropping each pair.
  void Clear();
  int CallBackCount() const noexcept { return int(callBacks_.size()); }

 private:
  struct TCallBack {
    TDirectRenderEvent render;
    TNotifyEvent freed;
  };
  std::vector<std::unique_ptr<TCallBack>> callBacks_;
  TListWalkers<TCallBack*> walks_;
};

enum TGLProxyObjectOption : uint8_t { pooEffects, pooObjects, pooTransformation };
using TGLProxyObjectOptions = TSet<TGLProxyObjectOption>;

// Draws another object (its master) in its own place.
class TGLProxyObject : public TGLBaseSceneObject {
  RTL_CLASS(TGLProxyObject, TGLBaseSceneObject)
 public:
  explicit TGLProxyObject(TComponent* AOwner);
  ~TGLProxyObject() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  TGLBaseSceneObject* MasterObject() const noexcept { return masterObject_; }
  virtual void SetMasterObject(TGLBaseSceneObject* v);
  TGLProxyObjectOptions ProxyOptions() const noexcept { return proxyOptions_; }
  void SetProxyOptions(TGLProxyObjectOptions v);
  uint64_t ProxyOptionsBits() const noexcept { return proxyOptions_.Bits(); }
  void SetProxyOptionsBits(uint64_t v) { SetProxyOptions(TGLProxyObjectOptions::FromBits(v)); }

 private:
  TGLBaseSceneObject* masterObject_ = nullptr;
  TGLProxyObjectOptions proxyOptions_;
  bool rendering_ = false;
};

// The invisible root of a scene's object or camera tree; its owner is the scene.
class TGLSceneRootObject : public TGLBaseSceneObject {
  RTL_CLASS(TGLSceneRootObject, TGLBaseSceneObject)
 public:
  explicit TGLSceneRootObject(TComponent* AOwner);
};

// The scene: two roots, the light table, the buffers that show it.
class TGLSceneGraph : public TGLUpdateAbleComponent {
  RTL_CLASS(TGLSceneGraph, TGLUpdateAbleComponent)
 public:
  static constexpr int LightTableSize = 8;

  explicit TGLSceneGraph(TComponent* AOwner);
  ~TGLSceneGraph() override;

  void BeginUpdate();
  void EndUpdate();
  bool IsUpdating() const;
  void NotifyChange(TObject* Sender) override;
  void GetChildren(const std::function<void(TComponent*)>& Proc, TComponent* Root) override;
  void SetChildOrder(TComponent* Child, int Order);
  void ReadState(TReader* Reader) override;

  void AddLight(TGLLightSource* aLight);
  void RemoveLight(TGLLightSource* aLight);
  void AddLights(TGLBaseSceneObject* anObj);
  void RemoveLights(TGLBaseSceneObject* anObj);
  // Slot i of the light table (nullptr when empty).
  TGLLightSource* Light(int i) const { return lights_[size_t(i)]; }

  void AddBuffer(TGLSceneBuffer* aBuffer);
  void RemoveBuffer(TGLSceneBuffer* aBuffer);
  int BufferCount() const noexcept { return int(buffers_.size()); }
  TGLSceneBuffer* Buffer(int i) const { return buffers_[size_t(i)]; }
  TGLContext* BaseContext() const noexcept { return baseContext_; }

  void Progress(double deltaTime, double newTime);
  TGLBaseSceneObject* RayCastNearest(const TVector4f& rayStart, const TVector4f& rayVector,
                                     TVector4f* intersectPoint = nullptr, TVector4f* intersectNormal = nullptr);
  void SetupLights(int maxLights);
  void RenderScene(TGLSceneBuffer* aBuffer, int viewPortSizeX, int viewPortSizeY, TDrawState drawState,
                   TGLBaseSceneObject* baseObject);
  // The walk for one object (culling, matrix, names, effects). A failure of the object's
  // drawing (or of its subtree's, past what the children's own walks catch) is logged on
  // stderr once per object and the walk goes on with the rest of the scene, so one broken
  // object does not stop the view.
  void RenderObject(TGLBaseSceneObject* obj, TRenderContextInfo& rci);
  // Whether the walk can draw the object in a batch (it joins batches and nothing else of the
  // walk applies to it in this pass).
  static bool DrawableInBatch(TGLBaseSceneObject* obj, const TRenderContextInfo& rci);
  // Draws objects that DrawableInBatch accepted and that look the same, as RenderObject would
  // draw each in turn: a failing object is reported once as itself and the rest drawn; a
  // failure of the shared material is reported as the first object's.
  void RenderBatch(const std::vector<TGLBaseSceneObject*>& batch, TRenderContextInfo& rci);

  TGLSceneRootObject* Objects() const noexcept { return objects_; }
  TGLSceneRootObject* Cameras() const noexcept { return cameras_; }
  TGLCamera* CurrentGLCamera() const noexcept { return currentCamera_; }
  void SetCurrentGLCamera(TGLCamera* c) noexcept { currentCamera_ = c; }
  TGLSceneBuffer* CurrentBuffer() const noexcept { return currentBuffer_; }
  TGLBaseSceneObject* CurrentObject() const noexcept { return currentObject_; }
  void SetCurrentObject(TGLBaseSceneObject* o) noexcept { currentObject_ = o; }
  TGLObjectsSorting ObjectsSorting() const noexcept { return objectsSorting_; }
  void SetObjectsSorting(TGLObjectsSorting v);
  TGLVisibilityCulling VisibilityCulling() const noexcept { return visibilityCulling_; }
  void SetVisibilityCulling(TGLVisibilityCulling v);
  TGLProgressEvent OnProgress;

  // A camera of this scene is going: buffers looking through it stop doing so.
  void ForgetCamera(TGLCamera* camera);

 private:
  friend class TGLSceneBuffer;
  int32_t updateCount_ = 0;
  TGLSceneRootObject* objects_ = nullptr;
  TGLSceneRootObject* cameras_ = nullptr;
  TGLContext* baseContext_ = nullptr;
  std::vector<TGLLightSource*> lights_;
  std::vector<TGLSceneBuffer*> buffers_;
  TListWalkers<TGLSceneBuffer*> bufferWalks_;  // change notifications in progress
  std::vector<TGLSceneBuffer*> cameraUsers_;   // buffers looking through one of our cameras
  TGLCamera* currentCamera_ = nullptr;
  TGLSceneBuffer* currentBuffer_ = nullptr;
  TGLObjectsSorting objectsSorting_ = osRenderBlendedLast;
  TGLVisibilityCulling visibilityCulling_ = vcNone;
  TGLBaseSceneObject* currentObject_ = nullptr;
  bool destroying_ = false;
  // Kept from batch to batch, so that its room is not made anew for each.
  std::unique_ptr<TGLBatchArrays> batchArrays_;
  void RenderObjectUnguarded(TGLBaseSceneObject* obj, TRenderContextInfo& rci, const TGLObjectWatch& watch);
  // Called from a handler of the object's failure.
  static void ReportRenderFailure(TGLBaseSceneObject* obj, TRenderContextInfo& rci) noexcept;
  // The same without forgetting the cached GL state (a batch's material is still applied).
  static void ReportFailureOnce(TGLBaseSceneObject* obj) noexcept;
};

// Fired after a scene object is renamed (Sender = the object).
inline TNotifyEvent vBaseSceneObjectNameChangeEvent;

// Registers the scene classes and their published properties.
void RegisterGLSceneGraphClasses();

#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLSceneBuffer.h"
