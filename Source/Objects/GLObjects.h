// Basic scene objects: the invisible grouping cube, the flat plane, the viewer-facing sprite,
// point clouds and lines, the solid box, the sphere and the round-object and polygon bases; plus
// the unit polyhedra drawers and the wire cube used for markers.
//
// Geometry goes through the GL entry-point table; texture coordinates of hand-written geometry
// go through the mapped texture-coordinate procedures. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Source/Base/VectorLists.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLNodes.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLStoredLimits.h"

// A set of flags that published-property streaming can build from its bits.
template <class E>
struct TGLFlagSet : TSet<E> {
  using TSet<E>::TSet;
  constexpr TGLFlagSet(TSet<E> s) noexcept : TSet<E>(s) {}  // NOLINT: implicit on purpose
  explicit constexpr TGLFlagSet(std::int64_t bits) noexcept
      : TSet<E>(TSet<E>::FromBits(static_cast<std::uint64_t>(bits))) {}
};

enum TNormalDirection : uint8_t { ndInside, ndOutside };
enum TNormalSmoothing : uint8_t { nsFlat, nsSmooth, nsNone };

enum TCubePart : uint8_t { cpTop, cpBottom, cpFront, cpBack, cpLeft, cpRight };
using TCubeParts = TGLFlagSet<TCubePart>;
inline constexpr TCubeParts AllCubeParts{cpTop, cpBottom, cpFront, cpBack, cpLeft, cpRight};

// ---------------------------------------------------------------------------------------------
// Drawers and geometry helpers

// The faces of a box centred on the origin (half sizes hw, hh, hd) in the order front, back,
// left, right, top, bottom, as one GL_QUADS batch (begun and ended even when nothing is
// selected). normalSign is +1 for outward normals, -1 for inward ones; the winding stays.
void EmitCubeFaces(float hw, float hh, float hd, TCubeParts parts, float normalSign);
// The same faces carried by m (rotation and moving: normals go through its 3 x 3 part as they are).
void EmitCubeFacesMoved(float hw, float hh, float hd, TCubeParts parts, float normalSign, const TMatrix4f& m);
// The same faces appended to batch arrays, each as two triangles.
void AppendCubeFacesMoved(TGLBatchArrays& into, float hw, float hh, float hd, TCubeParts parts, float normalSign,
                          const TMatrix4f& m);
// The four corners of one face, counter-clockwise seen from outside.
void CubeFaceCorners(TCubePart part, float hw, float hh, float hd, TAffineVector corners[4]);
// Where a ray enters the box of the given full sizes centred on the origin (local frame; dir
// need not be a unit vector): the point (W = 1) and the outward normal of the entry face
// (W = 0). The box is widened by 0.02 %; a start inside the box has no entry.
bool CubeRayEntry(const TVector4f& start, const TVector4f& dir, const TAffineVector& sizes, TVector4f& point,
                  TVector4f& normal);

// Unit polyhedra at the origin, one normal per face.
void DodecahedronBuildList();
void IcosahedronBuildList();

// The twelve edges of a cube of the given size in `colour`, lighting off, inside an attribute
// block; stippled edges are blended.
void DrawWireCube(TRenderContextInfo& rci, bool stippled, const TVector4f& colour, float size);

// ---------------------------------------------------------------------------------------------
// TGLDummyCube

class TGLDummyCube;
using TGLVisibilityDeterminationEvent = std::function<bool(TObject* Sender, TRenderContextInfo& rci)>;

// Invisible grouping node; can compile its whole subtree into one display list.
class TGLDummyCube : public TGLCameraInvariantObject {
  RTL_CLASS(TGLDummyCube, TGLCameraInvariantObject)
 public:
  explicit TGLDummyCube(TComponent* AOwner);
  ~TGLDummyCube() override;
  void Assign(TPersistent* Source) override;
  TVector4f BarycentreAbsolutePosition() override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  void DestroyHandle() override;

  float CubeSize() const noexcept { return cubeSize_; }
  void SetCubeSize(float v);
  TGLColor* EdgeColor() const noexcept { return edgeColor_.get(); }
  void SetEdgeColor(TGLColor* v);
  bool VisibleAtRunTime() const noexcept { return visibleAtRunTime_; }
  void SetVisibleAtRunTime(bool v);
  bool Amalgamate() const noexcept { return amalgamate_; }
  void SetAmalgamate(bool v);
  // The subtree's list of the state set drawn last; null when there is none.
  TGLListHandle* AmalgamationList() const noexcept { return amalgamationLists_->Last(); }

  TGLVisibilityDeterminationEvent OnVisibilityDetermination;

 private:
  float cubeSize_ = 1;
  std::unique_ptr<TGLColor> edgeColor_;
  bool visibleAtRunTime_ = false;
  bool amalgamate_ = false;
  // The subtree's display lists, one per state set they were compiled for.
  std::unique_ptr<TGLStateLists> amalgamationLists_;
};

// ---------------------------------------------------------------------------------------------
// TGLPlane

enum TPlaneStyle : uint8_t { psSingleQuad, psTileTexture };
using TPlaneStyles = TGLFlagSet<TPlaneStyle>;

// Plane geometry in the XY plane: one quad, or XTiles x YTiles cells as YTiles triangle strips
// (nothing when a tile count is below 1). Texture range s0..s1, t0..t1.
void EmitPlane(float width, float height, float s0, float s1, float t0, float t1, bool singleQuad, int xTiles,
               int yTiles);

class TGLPlane : public TGLSceneObject {
  RTL_CLASS(TGLPlane, TGLSceneObject)
 public:
  explicit TGLPlane(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  void BuildList(TRenderContextInfo& rci) override;

  // Signed distance of a point along the plane's normal.
  float DistanceToPlane(const TVector4f& point);
  // Screen rectangle of the projected corners in the scene's current buffer; all zero
  // without one.
  TGLRect GetScreenRect();

  float XOffset() const noexcept { return xOffset_; }
  void SetXOffset(float v);
  float YOffset() const noexcept { return yOffset_; }
  void SetYOffset(float v);
  float XScope() const noexcept { return xScope_; }
  void SetXScope(float v);  // above 1 becomes 1
  float YScope() const noexcept { return yScope_; }
  void SetYScope(float v);
  float Width() const noexcept { return width_; }
  void SetWidth(float v);
  float Height() const noexcept { return height_; }
  void SetHeight(float v);
  int XTiles() const noexcept { return xTiles_; }
  void SetXTiles(int v);
  int YTiles() const noexcept { return yTiles_; }
  void SetYTiles(int v);
  // Vertices of the tile grid (YTiles strips of XTiles cells), whatever the style.
  double VertexCount() const noexcept;
  TPlaneStyles Style() const noexcept { return style_; }
  void SetStyle(TPlaneStyles v);
  bool NoZWrite() const noexcept { return noZWrite_; }
  void SetNoZWrite(bool v) noexcept { noZWrite_ = v; }

 private:
  float xOffset_ = 0, yOffset_ = 0, xScope_ = 1, yScope_ = 1, width_ = 1, height_ = 1;
  int xTiles_ = 1, yTiles_ = 1;
  TPlaneStyles style_{psSingleQuad, psTileTexture};
  bool noZWrite_ = false;
};

// ---------------------------------------------------------------------------------------------
// TGLSprite

class TGLSprite : public TGLSceneObject {
  RTL_CLASS(TGLSprite, TGLSceneObject)
 public:
  explicit TGLSprite(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  void BuildList(TRenderContextInfo& rci) override;

  float Width() const noexcept { return width_; }
  void SetWidth(float v);
  float Height() const noexcept { return height_; }
  void SetHeight(float v);
  float Rotation() const noexcept { return rotation_; }  // degrees about the viewing axis
  void SetRotation(float v);
  float AlphaChannel() const noexcept { return alphaChannel_; }
  void SetAlphaChannel(float v);  // clamped to 0..1
  bool NoZWrite() const noexcept { return noZWrite_; }
  void SetNoZWrite(bool v);
  bool MirrorU() const noexcept { return mirrorU_; }
  void SetMirrorU(bool v);
  bool MirrorV() const noexcept { return mirrorV_; }
  void SetMirrorV(bool v);

 private:
  float width_ = 1, height_ = 1, rotation_ = 0, alphaChannel_ = 1;
  bool noZWrite_ = false, mirrorU_ = false, mirrorV_ = false;
};

// ---------------------------------------------------------------------------------------------
// TGLCube

class TGLCube : public TGLSceneObject {
  RTL_CLASS(TGLCube, TGLSceneObject)
 public:
  explicit TGLCube(TComponent* AOwner);
  // Binary "CubeSize": width, height, depth as three singles, only when one differs from 1.
  void DefineProperties(TFiler* Filer) override;
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  void BuildList(TRenderContextInfo& rci) override;

  float CubeWidth() const noexcept { return cubeSize_[0]; }
  void SetCubeWidth(float v);
  float CubeHeight() const noexcept { return cubeSize_[1]; }
  void SetCubeHeight(float v);
  float CubeDepth() const noexcept { return cubeSize_[2]; }
  void SetCubeDepth(float v);
  TCubeParts Parts() const noexcept { return parts_; }
  void SetParts(TCubeParts v);
  TNormalDirection NormalDirection() const noexcept { return normalDirection_; }
  void SetNormalDirection(TNormalDirection v);

  // Cubes of one class drawn one after the other with the same material look go in one batch
  // when this is set (off by default): many cubes of one face then cost about one draw. Their
  // local matrices must not scale (normals are carried by them as they are); one that does
  // is drawn on its own.
  bool DrawnInBatches() const noexcept { return drawnInBatches_; }
  void SetDrawnInBatches(bool v) noexcept { drawnInBatches_ = v; }
  bool JoinsBatches() override;
  bool SameBatchLookAs(TGLBaseSceneObject& other) override;
  void EmitInBatch(TRenderContextInfo& rci) override;
  bool AppendToBatch(TGLBatchArrays& into) override;

 private:
  void SetSize(int axis, float v);
  bool drawnInBatches_ = false;
  // The last answer of a batch's first cube about this one, kept while neither changes.
  struct TSameLook {
    const TGLBaseSceneObject* first = nullptr;
    uint64_t firstStamp = 0, ownStamp = 0;
    bool same = false;
  } sameLook_;
  TAffineVector cubeSize_{1, 1, 1};
  TCubeParts parts_ = AllCubeParts;
  TNormalDirection normalDirection_ = ndOutside;
};

// ---------------------------------------------------------------------------------------------
// TGLQuadricObject and TGLSphere

// Base of the round objects: normal style and direction as GLU quadric settings.
class TGLQuadricObject : public TGLSceneObject {
  RTL_CLASS(TGLQuadricObject, TGLSceneObject)
 public:
  explicit TGLQuadricObject(TComponent* AOwner);
  void Assign(TPersistent* Source) override;

  TNormalSmoothing Normals() const noexcept { return normals_; }
  void SetNormals(TNormalSmoothing v);
  TNormalDirection NormalDirection() const noexcept { return normalDirection_; }
  void SetNormalDirection(TNormalDirection v);

  void SetupQuadricParams(GLUquadric* quadric);
  void SetNormalQuadricOrientation(GLUquadric* quadric);
  // The opposite orientation, for inner walls and bottom disks.
  void SetInvertedQuadricOrientation(GLUquadric* quadric);

 private:
  TNormalSmoothing normals_ = nsSmooth;
  TNormalDirection normalDirection_ = ndOutside;
};

enum TCapType : uint8_t { ctNone, ctCenter, ctFlat };

class TGLSphere : public TGLQuadricObject {
  RTL_CLASS(TGLSphere, TGLQuadricObject)
 public:
  explicit TGLSphere(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  void BuildList(TRenderContextInfo& rci) override;

  float Radius() const noexcept { return radius_; }
  void SetRadius(float v);
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);  // <= 0 becomes 1
  int Stacks() const noexcept { return stacks_; }
  void SetStacks(int v);
  // Vertices of the stacks' strips and both caps.
  double VertexCount() const noexcept;
  int Top() const noexcept { return top_; }  // degrees -90..90
  void SetTop(int v);
  int Bottom() const noexcept { return bottom_; }
  void SetBottom(int v);
  int Start() const noexcept { return start_; }  // degrees 0..360
  void SetStart(int v);                          // must not exceed Stop (assertion)
  int Stop() const noexcept { return stop_; }
  void SetStop(int v);  // must not be below Start (assertion)
  TCapType TopCap() const noexcept { return topCap_; }
  void SetTopCap(TCapType v);
  TCapType BottomCap() const noexcept { return bottomCap_; }
  void SetBottomCap(TCapType v);

 private:
  float radius_ = 0.5f;
  int slices_ = 16, stacks_ = 16;
  int8_t top_ = 90, bottom_ = -90;
  uint16_t start_ = 0, stop_ = 360;
  TCapType topCap_ = ctNone, bottomCap_ = ctNone;
};

// ---------------------------------------------------------------------------------------------
// TGLPolygonBase

enum TLineSplineMode : uint8_t { lsmLines, lsmCubicSpline, lsmBezierSpline, lsmNURBSCurve, lsmSegments };

// Node-defined flat shapes: the nodes and how the outline between them is drawn.
class TGLPolygonBase : public TGLSceneObject {
  RTL_CLASS(TGLPolygonBase, TGLSceneObject)
 public:
  explicit TGLPolygonBase(TComponent* AOwner);
  ~TGLPolygonBase() override;
  void Assign(TPersistent* Source) override;
  // A change of the node list marks the structure changed first.
  void NotifyChange(TObject* Sender) override;

  TGLNodes* Nodes() const noexcept { return nodes_.get(); }
  void SetNodes(TGLNodes* v);
  int Division() const noexcept { return division_; }
  void SetDivision(int v);  // < 1 becomes 1
  TLineSplineMode SplineMode() const noexcept { return splineMode_; }
  void SetSplineMode(TLineSplineMode v);
  // Vertices of both faces' outlines: Division points per node each.
  double VertexCount() const;
  // The nodes are read after the division: their product is checked once both are there.
  void Loaded() override;

 protected:
  // Replaces the node list by one of the given item class (descendants call it from their
  // constructor to use their own node class).
  void CreateNodes(TClass itemClass);

 private:
  std::unique_ptr<TGLNodes> nodes_;
  int division_ = 10;
  TLineSplineMode splineMode_ = lsmLines;
};

// ---------------------------------------------------------------------------------------------
// Points

// Distance-attenuated point sizes, applied around the drawing of a point cloud.
class TGLPointParameters : public TGLUpdateAbleObject {
  RTL_CLASS(TGLPointParameters, TGLUpdateAbleObject)
 public:
  explicit TGLPointParameters(TPersistent* AOwner);
  ~TGLPointParameters() override;
  // Binary "PointParams": MinSize, MaxSize, FadeTresholdSize as singles, only when one differs
  // from 0, 128, 1.
  void DefineProperties(TFiler* Filer) override;
  // The sizes and the attenuation; not Enabled.
  void Assign(TPersistent* Source) override;
  // Only when Enabled and the driver has point parameters.
  void Apply();
  void UnApply();

  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool v);
  float MinSize() const noexcept { return minSize_; }
  void SetMinSize(float v);  // negative becomes 0
  float MaxSize() const noexcept { return maxSize_; }
  void SetMaxSize(float v);
  float FadeTresholdSize() const noexcept { return fadeTresholdSize_; }
  void SetFadeTresholdSize(float v);
  TGLCoordinates* DistanceAttenuation() const noexcept { return distanceAttenuation_.get(); }
  void SetDistanceAttenuation(TGLCoordinates* v);

 private:
  bool enabled_ = false;
  float minSize_ = 0, maxSize_ = 128, fadeTresholdSize_ = 1;
  std::unique_ptr<TGLCoordinates> distanceAttenuation_;
};

enum TGLPointStyle : uint8_t { psSquare, psRound, psSmooth, psSmoothAdditive, psSquareAdditive };

// A cloud of GL points with optional per-point colours.
class TGLPoints : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLPoints, TGLImmaterialSceneObject)
 public:
  explicit TGLPoints(TComponent* AOwner);
  ~TGLPoints() override;
  // Binary "Positions" and "Colors": the lists' archives, each only when not empty.
  void DefineProperties(TFiler* Filer) override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;

  TAffineVectorList* Positions() const noexcept { return positions_.get(); }
  TVectorList* Colors() const noexcept { return colors_.get(); }
  float Size() const noexcept { return size_; }
  void SetSize(float v);
  TGLPointStyle Style() const noexcept { return style_; }
  void SetStyle(TGLPointStyle v);
  TGLPointParameters* PointParameters() const noexcept { return pointParameters_.get(); }
  void SetPointParameters(TGLPointParameters* v);
  bool NoZWrite() const noexcept { return noZWrite_; }
  void SetNoZWrite(bool v);
  // A static cloud is compiled into the display list instead of drawn every frame.
  bool Static() const noexcept { return static_; }
  void SetStatic(bool v);

 private:
  std::unique_ptr<TAffineVectorList> positions_;
  std::unique_ptr<TVectorList> colors_;
  float size_ = 1;
  TGLPointStyle style_ = psSquare;
  std::unique_ptr<TGLPointParameters> pointParameters_;
  bool noZWrite_ = false, static_ = false;
};

// ---------------------------------------------------------------------------------------------
// Lines

// Line colour, stipple, width and antialiasing, set up around the drawing of lines.
class TGLLineBase : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLLineBase, TGLImmaterialSceneObject)
 public:
  explicit TGLLineBase(TComponent* AOwner);
  ~TGLLineBase() override;
  void Assign(TPersistent* Source) override;

  TGLColor* LineColor() const noexcept { return lineColor_.get(); }
  void SetLineColor(TGLColor* v);
  uint16_t LinePattern() const noexcept { return linePattern_; }
  void SetLinePattern(uint16_t v);
  float LineWidth() const noexcept { return lineWidth_; }
  void SetLineWidth(float v);
  bool AntiAliased() const noexcept { return antiAliased_; }
  void SetAntiAliased(bool v);

  // Attribute block with the line state; RestoreLineStyle closes it.
  void SetupLineStyle(TRenderContextInfo& rci);
  void RestoreLineStyle(TRenderContextInfo& rci);

 private:
  std::unique_ptr<TGLColor> lineColor_;
  uint16_t linePattern_ = 0xFFFF;
  float lineWidth_ = 1;
  bool antiAliased_ = false;
};

// A node of a line with its own colour.
class TGLLinesNode : public TGLNode {
  RTL_CLASS(TGLLinesNode, TGLNode)
 public:
  explicit TGLLinesNode(TCollection* ACollection);
  ~TGLLinesNode() override;
  void Assign(TPersistent* Source) override;
  TGLColor* Color() const noexcept { return color_.get(); }
  void SetColor(TGLColor* v);
  // Stored when it differs from the owning line's node colour, and whenever that node colour is
  // not the default one (nodes are read before the node colour, so a node left out would
  // otherwise come back with the default).
  bool ColorStored();

 private:
  std::unique_ptr<TGLColor> color_;
};

// The nodes of a line (changes reach the owning line, which rebuilds).
class TGLLinesNodes : public TGLNodes {
  RTL_CLASS(TGLLinesNodes, TGLNodes)
 public:
  explicit TGLLinesNodes(TPersistent* AOwner);
  TGLLinesNode* Items(int Index) const { return static_cast<TGLLinesNode*>(TGLNodes::Items(Index)); }
};

enum TLineNodesAspect : uint8_t { lnaInvisible, lnaAxes, lnaCube, lnaDodecahedron };

class TGLNodedLines : public TGLLineBase {
  RTL_CLASS(TGLNodedLines, TGLLineBase)
 public:
  explicit TGLNodedLines(TComponent* AOwner);
  ~TGLNodedLines() override;
  void Assign(TPersistent* Source) override;
  TVector4f AxisAlignedDimensionsUnscaled() override;
  // A change of the node list marks the structure changed first.
  void NotifyChange(TObject* Sender) override;
  void Loaded() override;

  TGLLinesNodes* Nodes() const noexcept { return nodes_.get(); }
  void SetNodes(TGLLinesNodes* v);
  TLineNodesAspect NodesAspect() const noexcept { return nodesAspect_; }
  void SetNodesAspect(TLineNodesAspect v);
  TGLColor* NodeColor() const noexcept { return nodeColor_.get(); }
  void SetNodeColor(TGLColor* v);
  float NodeSize() const noexcept { return nodeSize_; }
  void SetNodeSize(float v);  // <= 0 becomes 1
  void AddNode(float x, float y, float z);

  // The marker of one node at (x, y, z).
  void DrawNode(TRenderContextInfo& rci, const TVector4f& colour, float x, float y, float z);

 private:
  void NodeColorChanged(TObject* Sender);
  std::unique_ptr<TGLLinesNodes> nodes_;
  TLineNodesAspect nodesAspect_ = lnaAxes;
  std::unique_ptr<TGLColor> nodeColor_;
  float nodeSize_ = 1;
  TVector4f oldNodeColor_{0, 0, 1, 1};
};

enum TLinesOption : uint8_t { loUseNodeColorForLines };
using TLinesOptions = TGLFlagSet<TLinesOption>;

// Straight segments, a spline, a Bezier or NURBS curve, or separate segments through the nodes.
class TGLLines : public TGLNodedLines {
  RTL_CLASS(TGLLines, TGLNodedLines)
 public:
  explicit TGLLines(TComponent* AOwner);
  ~TGLLines() override;
  void Assign(TPersistent* Source) override;
  void BuildList(TRenderContextInfo& rci) override;
  // A stored scene may list the division before the nodes: the product is checked again here.
  void Loaded() override;

  int Division() const noexcept { return division_; }
  void SetDivision(int v);  // < 1 becomes 1
  // Vertices of the curve (Division points per node) and of the node markers.
  double VertexCount() const;
  TLineSplineMode SplineMode() const noexcept { return splineMode_; }
  void SetSplineMode(TLineSplineMode v);
  TLinesOptions Options() const noexcept { return options_; }
  void SetOptions(TLinesOptions v);
  // NURBS settings (not streamed). The curve is drawn only when the knot count equals the node
  // count plus the order.
  int NurbsOrder() const noexcept { return nurbsOrder_; }
  void SetNurbsOrder(int v);
  float NurbsTolerance() const noexcept { return nurbsTolerance_; }
  void SetNurbsTolerance(float v);
  TSingleList* NurbsKnots() const noexcept { return nurbsKnots_.get(); }

 private:
  int division_ = 10;
  TLineSplineMode splineMode_ = lsmLines;
  TLinesOptions options_;
  int nurbsOrder_ = 0;
  float nurbsTolerance_ = 50;
  std::unique_ptr<TSingleList> nurbsKnots_;
};

// Registers the classes of this unit and their published properties.
void RegisterGLObjectsClasses();
