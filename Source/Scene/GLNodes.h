// Node lists: points of lines, polygons and paths, with their spline and the tessellated
// outline. A change of a node notifies the update-able component that owns the list.
#pragma once

#include <memory>
#include <string>

#include "Source/Base/Spline.h"
#include "Source/Base/VectorTypes.h"
#include "rtl/Classes.h"

class TGLNode : public TCollectionItem {
  RTL_CLASS(TGLNode, TCollectionItem)
 public:
  explicit TGLNode(TCollection* ACollection);

  // From another TGLNode: all four singles; else the inherited rule.
  void Assign(TPersistent* Source) override;
  // "%.4f; %.4f; %.4f" of X, Y, Z.
  std::string GetDisplayName() override;
  std::string DisplayText() { return GetDisplayName(); }

  float X() const noexcept { return coords_[0]; }
  float Y() const noexcept { return coords_[1]; }
  float Z() const noexcept { return coords_[2]; }
  float W() const noexcept { return coords_[3]; }
  void SetX(float v) { SetIndexedComponent(0, v); }
  void SetY(float v) { SetIndexedComponent(1, v); }
  void SetZ(float v) { SetIndexedComponent(2, v); }
  // Stores X, Y or Z, then notifies the owning node list.
  void SetIndexedComponent(int index, float value);

  TAffineVector ReadAffineVector() const noexcept { return {coords_[0], coords_[1], coords_[2]}; }
  const TVector4f& AsVector() const noexcept { return coords_; }
  // Stable while the node lives; the tessellated outline hands it to GL as vertex data.
  float* AsAddress() noexcept { return coords_.V; }

 private:
  TVector4f coords_{};
};

class TGLNodes : public TOwnedCollection {
  RTL_CLASS(TGLNodes, TOwnedCollection)
 public:
  // AItemClass must be TGLNode or derive from it.
  explicit TGLNodes(TPersistent* AOwner, TClass AItemClass = TGLNode::StaticClass());

  TGLNode* Items(int Index) const { return static_cast<TGLNode*>(TOwnedCollection::Items(Index)); }
  TGLNode* Add() { return static_cast<TGLNode*>(TOwnedCollection::Add()); }
  void AddNode(float x, float y, float z);

  // Outside updates: the owner's NotifyChange when it is an update-able component.
  void NotifyChange();
  void Update(TCollectionItem* Item) override;
  void EndUpdate() override;

  // Unit normal of the outline through all the nodes (summed over its edges), turned so that the
  // nodes run counter-clockwise seen from it; for three nodes that of nodes 0, 1, 2. The null
  // vector when the outline has no area: fewer than three nodes, all of them in line or repeated
  // (to within rounding of their coordinates), or coordinates that are not finite.
  TAffineVector PlaneNormal() const;
  // Spline through the nodes' X, Y and Z (no W channel).
  std::unique_ptr<TCubicSpline> BuildCubicSpline() const;
  // Draws the outline as a tessellated polygon through GLU (nothing with fewer than three
  // nodes). normal may be null. With splineDivisions > 1 the spline through the nodes is
  // sampled. A tessellation error raises an assertion failure "<number>: <GLU text>" after the
  // tessellator has been released.
  void DrawTessellatedOutline(bool textured, const TAffineVector* normal, int splineDivisions, bool invertOrder);
};

// Registers the classes and published properties of this unit.
void RegisterGLNodesClasses();
