// Parametric solids: disks and rings, cones, cylinders (the base of the traffic view's pipes),
// hollow cylinders, tori, arrow lines, frusta and node-outlined polygons. The round ones draw
// through GLU quadrics into the display list; all report their half extents and intersect rays
// exactly. GUI thread only.
#pragma once

#include <cstdint>

#include "Source/Objects/GLObjects.h"

// Sector of a disk or ring in the object's XY plane.
class TGLDisk : public TGLQuadricObject {
  RTL_CLASS(TGLDisk, TGLQuadricObject)
 public:
  explicit TGLDisk(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;

  float StartAngle() const noexcept { return startAngle_; }
  void SetStartAngle(float v);
  float SweepAngle() const noexcept { return sweepAngle_; }
  void SetSweepAngle(float v);
  float OuterRadius() const noexcept { return outerRadius_; }
  void SetOuterRadius(float v);
  float InnerRadius() const noexcept { return innerRadius_; }
  void SetInnerRadius(float v);
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);
  int Loops() const noexcept { return loops_; }
  void SetLoops(int v);
  // Vertices of the loops' strips.
  double VertexCount() const noexcept;

 private:
  float startAngle_ = 0, sweepAngle_ = 360, outerRadius_ = 0.5f, innerRadius_ = 0;
  int slices_ = 16, loops_ = 2;
};

// Common base of the objects along an axis: bottom radius, subdivisions, height.
class TGLCylinderBase : public TGLQuadricObject {
  RTL_CLASS(TGLCylinderBase, TGLQuadricObject)
 public:
  explicit TGLCylinderBase(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  // (r, Height / 2, r) with r the larger of the bottom and top radii.
  TVector4f AxisAlignedDimensionsUnscaled() override;
  // Sides and both end fans of a cylinder of at least 5 slices (the property is unchanged).
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  virtual float GetTopRadius() { return bottomRadius_; }

  float BottomRadius() const noexcept { return bottomRadius_; }
  void SetBottomRadius(float v);
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);
  int Stacks() const noexcept { return stacks_; }
  void SetStacks(int v);
  int Loops() const noexcept { return loops_; }
  void SetLoops(int v);  // below 1 is ignored
  float Height() const noexcept { return height_; }
  void SetHeight(float v);
  // Vertices of every side and end surface the class can draw.
  double VertexCount() const;

 protected:
  // How many side walls (Slices x Stacks) and end disks (Slices x Loops) the class draws at most.
  virtual int SideSurfaces() const { return 1; }
  virtual int EndSurfaces() const { return 2; }
  float bottomRadius_ = 0.5f;
  int slices_ = 16, stacks_ = 4, loops_ = 1;
  float height_ = 1;
};

enum TConePart : uint8_t { coSides, coBottom };
using TConeParts = TGLFlagSet<TConePart>;

class TGLCone : public TGLCylinderBase {
  RTL_CLASS(TGLCone, TGLCylinderBase)
 public:
  explicit TGLCone(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  float GetTopRadius() override { return 0; }

  TConeParts Parts() const noexcept { return parts_; }
  void SetParts(TConeParts v);

 protected:
  int EndSurfaces() const override { return 1; }

 private:
  TConeParts parts_{coSides, coBottom};
};

enum TCylinderPart : uint8_t { cySides, cyBottom, cyTop };
using TCylinderParts = TGLFlagSet<TCylinderPart>;
enum TCylinderAlignment : uint8_t { caCenter, caTop, caBottom };

class TGLCylinder : public TGLCylinderBase {
  RTL_CLASS(TGLCylinder, TGLCylinderBase)
 public:
  explicit TGLCylinder(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;
  float GetTopRadius() override { return topRadius_; }

  // Places the cylinder between two absolute points, its middle halfway. Coincident points
  // give Height 0 at startPoint with Up unchanged.
  void Align(const TVector4f& startPoint, const TVector4f& endPoint);

  float TopRadius() const noexcept { return topRadius_; }
  void SetTopRadius(float v);
  TCylinderParts Parts() const noexcept { return parts_; }
  void SetParts(TCylinderParts v);
  TCylinderAlignment Alignment() const noexcept { return alignment_; }
  void SetAlignment(TCylinderAlignment v);

  // A cylinder of sides only with equal radii then draws, stretched to its height, the
  // display list every such cylinder of the same radius, subdivision and normals shares
  // in the context, instead of a list of its own compiled anew at each change.
  bool DrawnFromSharedLists() const noexcept { return sharedLists_; }
  void SetDrawnFromSharedLists(bool v);
  // After PrefetchForWalk, the shape: radii, subdivision, height, parts and alignment.
  void PrefetchShapeForWalk() const noexcept {
    __builtin_prefetch(&topRadius_);
    __builtin_prefetch(&sharedLists_);
  }
  // Shared lists held, all contexts together (for tests and diagnostics).
  static int SharedListCount() noexcept;

 private:
  bool DrawsSharedSides() const noexcept;
  void DrawSharedSides(TRenderContextInfo& rci);
  float topRadius_ = 0.5f;
  TCylinderParts parts_{cySides, cyBottom, cyTop};
  TCylinderAlignment alignment_ = caCenter;
  bool sharedLists_ = false;
};

enum TAnnulusPart : uint8_t { anInnerSides, anOuterSides, anBottom, anTop };
using TAnnulusParts = TGLFlagSet<TAnnulusPart>;

// Hollow cylinder; BottomRadius is the outer bottom radius.
class TGLAnnulus : public TGLCylinderBase {
  RTL_CLASS(TGLAnnulus, TGLCylinderBase)
 public:
  explicit TGLAnnulus(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;
  float GetTopRadius() override { return topRadius_; }

  float BottomInnerRadius() const noexcept { return bottomInnerRadius_; }
  void SetBottomInnerRadius(float v);
  float TopInnerRadius() const noexcept { return topInnerRadius_; }
  void SetTopInnerRadius(float v);
  float TopRadius() const noexcept { return topRadius_; }
  void SetTopRadius(float v);
  TAnnulusParts Parts() const noexcept { return parts_; }
  void SetParts(TAnnulusParts v);

 protected:
  int SideSurfaces() const override { return 2; }

 private:
  float bottomInnerRadius_ = 0.3f, topInnerRadius_ = 0.3f, topRadius_ = 0.5f;
  TAnnulusParts parts_{anInnerSides, anOuterSides, anBottom, anTop};
};

// Ring around the object's Z axis in its XY plane.
class TGLTorus : public TGLSceneObject {
  RTL_CLASS(TGLTorus, TGLSceneObject)
 public:
  explicit TGLTorus(TComponent* AOwner);
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;

  float MajorRadius() const noexcept { return majorRadius_; }
  void SetMajorRadius(float v);
  float MinorRadius() const noexcept { return minorRadius_; }
  void SetMinorRadius(float v);
  int Rings() const noexcept { return rings_; }
  void SetRings(int v);  // below 2 becomes 2
  int Sides() const noexcept { return sides_; }
  void SetSides(int v);  // below 2 becomes 2
  // Vertices of the rings' strips.
  double VertexCount() const noexcept;

 private:
  float majorRadius_ = 0.4f, minorRadius_ = 0.1f;
  int rings_ = 25, sides_ = 15;
};

enum TArrowHeadStackingStyle : uint8_t { ahssStacked, ahssCentered, ahssIncluded };
enum TArrowLinePart : uint8_t { alLine, alTopArrow, alBottomArrow };
using TArrowLineParts = TGLFlagSet<TArrowLinePart>;

// A line along the object's Z axis with cone heads at either end.
class TGLArrowLine : public TGLCylinderBase {
  RTL_CLASS(TGLArrowLine, TGLCylinderBase)
 public:
  explicit TGLArrowLine(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  float GetTopRadius() override { return topRadius_; }

  float TopRadius() const noexcept { return topRadius_; }
  void SetTopRadius(float v);
  float TopArrowHeadHeight() const noexcept { return topArrowHeadHeight_; }
  void SetTopArrowHeadHeight(float v);
  float TopArrowHeadRadius() const noexcept { return topArrowHeadRadius_; }
  void SetTopArrowHeadRadius(float v);
  float BottomArrowHeadHeight() const noexcept { return bottomArrowHeadHeight_; }
  void SetBottomArrowHeadHeight(float v);
  float BottomArrowHeadRadius() const noexcept { return bottomArrowHeadRadius_; }
  void SetBottomArrowHeadRadius(float v);
  TArrowHeadStackingStyle HeadStackingStyle() const noexcept { return headStackingStyle_; }
  void SetHeadStackingStyle(TArrowHeadStackingStyle v);
  TArrowLineParts Parts() const noexcept { return parts_; }
  void SetParts(TArrowLineParts v);

 protected:
  // The line and both heads; the line's two end disks and the heads' two never all together.
  int SideSurfaces() const override { return 3; }

 private:
  float topRadius_ = 0.1f, topArrowHeadHeight_ = 0.5f, topArrowHeadRadius_ = 0.2f;
  float bottomArrowHeadHeight_ = 0.5f, bottomArrowHeadRadius_ = 0.2f;
  TArrowHeadStackingStyle headStackingStyle_ = ahssStacked;
  TArrowLineParts parts_{alLine, alTopArrow};
};

enum TFrustrumPart : uint8_t { fpTop, fpBottom, fpFront, fpBack, fpLeft, fpRight };
using TFrustrumParts = TGLFlagSet<TFrustrumPart>;

// Truncated pyramid: base of BaseWidth x BaseDepth at y = 0, cut at Height of a pyramid
// ApexHeight tall.
class TGLFrustrum : public TGLSceneObject {
  RTL_CLASS(TGLFrustrum, TGLSceneObject)
 public:
  explicit TGLFrustrum(TComponent* AOwner);
  // Binary "FrustrumSize": ApexHeight, BaseDepth, BaseWidth, Height as singles, only when one
  // differs from 1, 1, 1, 0.5.
  void DefineProperties(TFiler* Filer) override;
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  void BuildList(TRenderContextInfo& rci) override;

  float ApexHeight() const noexcept { return size_[0]; }
  void SetApexHeight(float v);
  float BaseDepth() const noexcept { return size_[1]; }
  void SetBaseDepth(float v);
  float BaseWidth() const noexcept { return size_[2]; }
  void SetBaseWidth(float v);
  float Height() const noexcept { return size_[3]; }
  void SetHeight(float v);
  TNormalDirection NormalDirection() const noexcept { return normalDirection_; }
  void SetNormalDirection(TNormalDirection v);
  TFrustrumParts Parts() const noexcept { return parts_; }
  void SetParts(TFrustrumParts v);

 private:
  TVector4f size_{1, 1, 1, 0.5f};  // ApexHeight, BaseDepth, BaseWidth, Height
  TNormalDirection normalDirection_ = ndOutside;
  TFrustrumParts parts_{fpTop, fpBottom, fpFront, fpBack, fpLeft, fpRight};
};

enum TPolygonPart : uint8_t { ppTop, ppBottom };
using TPolygonParts = TGLFlagSet<TPolygonPart>;

// Flat polygon through its nodes, tessellated; both faces by default.
class TGLPolygon : public TGLPolygonBase {
  RTL_CLASS(TGLPolygon, TGLPolygonBase)
 public:
  explicit TGLPolygon(TComponent* AOwner);
  ~TGLPolygon() override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;

  TPolygonParts Parts() const noexcept { return parts_; }
  void SetParts(TPolygonParts v);

 private:
  TPolygonParts parts_{ppTop, ppBottom};
};

// Ray against a torus of radii R, r around the Z axis (local frame, dir need not be a unit
// vector): the nearest hit in front of the start, its point and (unnormalised) normal.
bool TorusRayHit(const TAffineVector& start, const TAffineVector& dir, float R, float r, TAffineVector& point,
                 TAffineVector& normal);

// Registers the classes of this unit and their published properties.
void RegisterGLGeomObjectsClasses();
