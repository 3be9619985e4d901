// Vertex lists of interleaved records and the mesh object that draws them in one call.
#include "Source/Further/GLMesh.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStoredLimits.h"
#include "Source/Scene/GLStrings.h"
#include "rtl/SysUtils.h"
#include "rtl/Streaming.h"

#include <cstring>

TVertexList::TVertexList(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {}

TVertexList::~TVertexList() {
  if (locked_ && GL.glXFreeMemoryNV) GL.glXFreeMemoryNV(locked_);
  locked_ = nullptr;
}

void TVertexList::Grow() {
  RTL_ASSERT(!locked_, "Cannot add to a locked list !");
  values_.resize(values_.size() + std::size_t(growth_));
}

void TVertexList::AddVertex(const TAffineVector& Vertex, const TAffineVector& Normal, const TVector4f& Color,
                            const TTexPoint& TexPoint) {
  if (count_ == Capacity()) Grow();
  RTL_ASSERT(!locked_, "Cannot add to a locked list !");
  values_[std::size_t(count_)] = TVertexData{TexPoint, Color, Normal, Vertex};
  ++count_;
  NotifyChange(this);
}

void TVertexList::Clear() {
  RTL_ASSERT(!locked_, "Cannot add to a locked list !");
  values_.clear();
  count_ = 0;
  NotifyChange(this);
}

void TVertexList::AssignRecords(const TVertexData* Records, int Count) {
  RTL_ASSERT(!locked_, "Cannot add to a locked list !");
  values_.assign(Records, Records + Count);
  count_ = Count;
  NotifyChange(this);
}

void TVertexList::SetLocked(bool Value) {
  if (Value == Locked() || !GLCaps.NV_vertex_array_range || !GetCurrentRenderingContext()) return;
  if (Value) {
    if (!GL.glXAllocateMemoryNV || count_ == 0) return;
    void* memory = GL.glXAllocateMemoryNV(GLsizei(count_) * GLsizei(sizeof(TVertexData)), 0, 0, 0.5f);
    if (!memory) return;  // stays in ordinary memory
    std::memcpy(memory, values_.data(), std::size_t(count_) * sizeof(TVertexData));
    locked_ = static_cast<TVertexData*>(memory);
  } else {
    if (GL.glXFreeMemoryNV) GL.glXFreeMemoryNV(locked_);
    locked_ = nullptr;
  }
}

void TVertexList::EnterLockSection() {
  if (!locked_) return;
  GL.glVertexArrayRangeNV(GLsizei(count_) * GLsizei(sizeof(TVertexData)), locked_);
  GL.glEnableClientState(GL_VERTEX_ARRAY_RANGE_NV);
}

void TVertexList::LeaveLockSection() {
  if (!locked_) return;
  GL.glDisableClientState(GL_VERTEX_ARRAY_RANGE_NV);
  GL.glFlushVertexArrayRangeNV();
}

void TVertexList::Assign(TPersistent* Source) {
  if (Source && Source->Is<TVertexList>()) {
    auto* other = static_cast<TVertexList*>(Source);
    RTL_ASSERT(!locked_, "Cannot add to a locked list !");
    values_.assign(other->List(), other->List() + other->count_);
    count_ = other->count_;
    NotifyChange(this);
    return;
  }
  inherited::Assign(Source);
}

namespace {

// The three records a new mesh holds.
const TVertexData kNewMeshVertices[3] = {
    {TTexPoint{0, 0}, TVector4f{{0, 0, 0, 0}}, TAffineVector{{0, 0, 1}}, TAffineVector{{1, 0, 0}}},
    {TTexPoint{0, 0}, TVector4f{{0, 0, 0, 0}}, TAffineVector{{0, 0, 1}}, TAffineVector{{0, 1, 0}}},
    {TTexPoint{0, 0}, TVector4f{{0, 0, 0, 0}}, TAffineVector{{0, 0, 1}}, TAffineVector{{0, 0, 1}}},
};

constexpr std::int64_t kRecordBytes = sizeof(TVertexData);

}  // namespace

TGLMesh::TGLMesh(TComponent* AOwner) : TGLSceneObject(AOwner), vertices_(std::make_unique<TVertexList>(this)) {
  for (const TVertexData& v : kNewMeshVertices) vertices_->AddVertex(v.coord, v.normal, v.color, v.textCoord);
  vertices_->OnNotifyChange = [this](TObject*) { MarkStructureChanged(); };
}

TGLMesh::~TGLMesh() { vertices_->OnNotifyChange = nullptr; }

void TGLMesh::SetMode(TMeshMode Value) {
  if (Value == mode_) return;
  mode_ = Value;
  MarkStructureChanged();
}

void TGLMesh::SetVertexMode(TVertexMode Value) {
  if (Value == vertexMode_) return;
  vertexMode_ = Value;
  MarkStructureChanged();
}

void TGLMesh::BuildList(TRenderContextInfo& rci) {
  inherited::BuildList(rci);
  const bool direct = (ObjectStyle() & osDirectDraw) != 0;
  if (direct) vertices_->EnterLockSection();
  GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_POLYGON_BIT);
  // The interleaved array enables client arrays that point into this list: they must not
  // outlive the draw, or a later draw would read them.
  GL.glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  TScopeExit restore([list = vertices_.get(), direct] {
    GL.glPopClientAttrib();
    GL.glPopAttrib();
    if (direct) list->LeaveLockSection();
  });
  if (vertices_->Count() == 0) return;
  constexpr GLsizei kStride = sizeof(TVertexData);
  switch (vertexMode_) {
    case vmV: GL.glInterleavedArrays(GL_V3F, kStride, vertices_->FirstVertex()); break;
    case vmVN: GL.glInterleavedArrays(GL_N3F_V3F, kStride, vertices_->FirstNormal()); break;
    case vmVNC: GL.glInterleavedArrays(GL_C4F_N3F_V3F, kStride, vertices_->FirstColor()); break;
    case vmVNCT:
    case vmVNT: GL.glInterleavedArrays(GL_T2F_C4F_N3F_V3F, 0, vertices_->List()); break;
    case vmVT:
      // The record has no T2F_V3F layout: texture coordinates and coordinates as two arrays
      // over the same records.
      GL.glInterleavedArrays(GL_V3F, kStride, vertices_->FirstVertex());
      GL.glTexCoordPointer(2, GL_FLOAT, kStride, vertices_->FirstTexPoint());
      GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
      break;
    default: RTL_ASSERT(false, glsInterleaveNotSupported);
  }
  if (vertexMode_ == vmVNC || vertexMode_ == vmVNCT) {
    GL.glEnable(GL_COLOR_MATERIAL);
    GL.glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    if (rci.GLStates) rci.GLStates->SendDefaultMaterial();
  }
  static const GLenum primitives[] = {GL_TRIANGLE_STRIP, GL_TRIANGLE_FAN, GL_TRIANGLES,
                                      GL_QUAD_STRIP,     GL_QUADS,        GL_POLYGON};
  RTL_ASSERT(mode_ <= mmPolygon, "Unknown mesh mode");
  GL.glDrawArrays(primitives[mode_], 0, vertices_->Count());
}

void TGLMesh::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLMesh>()) {
    auto* other = static_cast<TGLMesh*>(Source);
    vertices_->Assign(other->vertices_.get());
    mode_ = other->mode_;
    vertexMode_ = other->vertexMode_;
  }
  inherited::Assign(Source);
}

bool TGLMesh::HoldsNewMeshVertices() const {
  return vertices_->Count() == 3 && std::memcmp(vertices_->List(), kNewMeshVertices, sizeof(kNewMeshVertices)) == 0;
}

void TGLMesh::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "VertexData", [this](TStream* s) { ReadVertexData(s); }, [this](TStream* s) { WriteVertexData(s); },
      !HoldsNewMeshVertices());
}

void TGLMesh::WriteVertexData(TStream* Stream) const {
  const std::int32_t count = vertices_->Count();
  ValueEncoding::WriteExact(*Stream, &count, 4);
  if (count > 0) ValueEncoding::WriteExact(*Stream, vertices_->List(), count * kRecordBytes);
}

void TGLMesh::ReadVertexData(TStream* Stream) {
  const std::int64_t bytes = ValueEncoding::BytesLeft(*Stream);
  std::int32_t count = -1;
  if (bytes >= 4) ValueEncoding::ReadExact(*Stream, &count, 4);
  if (count < 0 || bytes - 4 != count * kRecordBytes)
    throw EReadError(Format("Invalid vertex data of %d bytes", bytes));
  CheckStoredVertices(*this, count);
  std::vector<TVertexData> records(static_cast<std::size_t>(count));
  if (count > 0) ValueEncoding::ReadExact(*Stream, records.data(), count * kRecordBytes);
  if (vertices_->Locked()) vertices_->SetLocked(false);
  vertices_->AssignRecords(records.data(), count);
}

void RegisterGLMesh() {
  RegisterClass(TGLMesh::StaticClass());
  TPublished<TGLMesh>()
      .Enum("Mode", &TGLMesh::Mode, &TGLMesh::SetMode,
            {"mmTriangleStrip", "mmTriangleFan", "mmTriangles", "mmQuadStrip", "mmQuads", "mmPolygon"}, mmTriangleStrip)
      .Enum("VertexMode", &TGLMesh::VertexMode, &TGLMesh::SetVertexMode,
            {"vmV", "vmVN", "vmVNC", "vmVNCT", "vmVNT", "vmVT"}, vmVNCT);
}
