// A scene object that draws a user-filled list of interleaved vertex records with one array
// declaration and one draw call.
#pragma once

#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLSceneGraph.h"

#include <cstdint>
#include <memory>
#include <vector>

// The primitive a mesh draws its vertices as.
enum TMeshMode : std::uint8_t { mmTriangleStrip, mmTriangleFan, mmTriangles, mmQuadStrip, mmQuads, mmPolygon };

// One vertex record, laid out as OpenGL's GL_T2F_C4F_N3F_V3F interleaved format.
struct TVertexData {
  TTexPoint textCoord;   // byte 0
  TVector4f color;       // byte 8
  TAffineVector normal;  // byte 24
  TAffineVector coord;   // byte 36
};
static_assert(sizeof(TVertexData) == 48);

class TVertexList : public TGLUpdateAbleObject {
  RTL_CLASS(TVertexList, TGLUpdateAbleObject)
 public:
  explicit TVertexList(TPersistent* AOwner);
  // Unlocks first (the driver memory is given back).
  ~TVertexList() override;

  int Count() const noexcept { return count_; }
  int Capacity() const noexcept { return static_cast<int>(values_.size()); }
  int Growth() const noexcept { return growth_; }
  void SetGrowth(int Value) noexcept { growth_ = Value > 0 ? Value : 1; }
  const TVertexData& Vertices(int Index) const { return List()[Index]; }

  // Stores a record and notifies the change; adding to a locked list is an assertion failure.
  void AddVertex(const TAffineVector& Vertex, const TAffineVector& Normal, const TVector4f& Color,
                 const TTexPoint& TexPoint);
  void Clear();
  // Replaces every record by Count records, in one notification.
  void AssignRecords(const TVertexData* Records, int Count);

  // The records, in driver memory while locked.
  const TVertexData* List() const noexcept { return locked_ ? locked_ : values_.data(); }
  const float* FirstVertex() const noexcept { return List()[0].coord.data(); }
  const float* FirstNormal() const noexcept { return List()[0].normal.data(); }
  const float* FirstColor() const noexcept { return List()[0].color.data(); }
  const float* FirstTexPoint() const noexcept { return &List()[0].textCoord.S; }

  // Acts only with the vertex-array-range extension and a current context; a failed driver
  // allocation leaves the list unlocked.
  bool Locked() const noexcept { return locked_ != nullptr; }
  void SetLocked(bool Value);
  void EnterLockSection();
  void LeaveLockSection();

  void Assign(TPersistent* Source) override;

 private:
  void Grow();

  std::vector<TVertexData> values_;  // sized to the capacity
  int count_ = 0;
  int growth_ = 256;
  TVertexData* locked_ = nullptr;  // driver memory while locked
};

class TGLMesh : public TGLSceneObject {
  RTL_CLASS(TGLMesh, TGLSceneObject)
 public:
  // Holds three vertices (1, 0, 0), (0, 1, 0), (0, 0, 1) with normal (0, 0, 1).
  explicit TGLMesh(TComponent* AOwner);
  ~TGLMesh() override;

  TVertexList* VertexList() const noexcept { return vertices_.get(); }
  TMeshMode Mode() const noexcept { return mode_; }
  void SetMode(TMeshMode Value);
  TVertexMode VertexMode() const noexcept { return vertexMode_; }
  void SetVertexMode(TVertexMode Value);

  void BuildList(TRenderContextInfo& rci) override;
  void Assign(TPersistent* Source) override;

 protected:
  // The vertex records as the binary property "VertexData" (a 32-bit count, then 48 bytes a
  // record: texture coordinate, colour, normal, coordinate as little-endian singles), written
  // only when they are not the three a new mesh holds. A stored scene without it (as all were
  // before) keeps those three. A value of another size, or of more than the vertices a stored
  // object may draw, raises EReadError and changes nothing.
  void DefineProperties(TFiler* Filer) override;

 private:
  bool HoldsNewMeshVertices() const;
  void ReadVertexData(TStream* Stream);
  void WriteVertexData(TStream* Stream) const;
  std::unique_ptr<TVertexList> vertices_;
  TMeshMode mode_ = mmTriangleStrip;
  TVertexMode vertexMode_ = vmVNCT;
};

// Registers TGLMesh and its published properties.
void RegisterGLMesh();
