// Silhouettes and triangle connectivity: edge and face tables, the silhouette seen from a point
// and its cap triangles.
#include "Source/Scene/GLSilhouette.h"

#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLFlatArea.h"

#include <cmath>
#include <vector>

// ---------------------------------------------------------------------------------------------
// TGLSilhouette

TGLSilhouette::TGLSilhouette()
    : vertices_(std::make_unique<TVectorList>()),
      indices_(std::make_unique<TIntegerList>()),
      capIndices_(std::make_unique<TIntegerList>()) {}

TGLSilhouette::~TGLSilhouette() = default;

void TGLSilhouette::Clear() {
  vertices_->Clear();
  indices_->Clear();
  capIndices_->Clear();
}

void TGLSilhouette::Flush() {
  vertices_->Flush();
  indices_->Flush();
  capIndices_->Flush();
}

void TGLSilhouette::ExtrudeVerticesToInfinity(const TAffineVector& Origin) {
  const int n = vertices_->Count();
  vertices_->SetCount(2 * n);
  TVector4f* v = vertices_->List();
  for (int i = 0; i < n; ++i) v[n + i] = TVector4f{{v[i][0] - Origin[0], v[i][1] - Origin[1], v[i][2] - Origin[2], 0}};

  // Rewritten from the last pair to the first, so no pair is overwritten before it is read.
  const int pairs = indices_->Count() / 2;
  indices_->SetCount(4 * pairs);
  std::int32_t* e = indices_->List();
  for (int k = pairs - 1; k >= 0; --k) {
    const std::int32_t a = e[2 * k], b = e[2 * k + 1];
    e[4 * k] = a;
    e[4 * k + 1] = b;
    e[4 * k + 2] = b + n;
    e[4 * k + 3] = a + n;
  }

  const int c = capIndices_->Count();
  std::vector<std::int32_t> caps(capIndices_->List(), capIndices_->List() + c);
  capIndices_->SetCount(2 * c);
  std::int32_t* cap = capIndices_->List();
  for (int i = 0; i < c; ++i) {
    cap[i] = caps[i] + n;
    cap[c + i] = caps[c - 1 - i];
  }
}

// ---------------------------------------------------------------------------------------------
// TConnectivity

TConnectivity::TConnectivity(bool APrecomputeFaceNormal)
    : TBaseConnectivity(APrecomputeFaceNormal),
      edgeVerticesIndices_(std::make_unique<TIntegerList>()),
      edgeFaces_(std::make_unique<TIntegerList>()),
      faceVisible_(std::make_unique<TByteList>()),
      faceVertexIndex_(std::make_unique<TIntegerList>()),
      faceNormal_(std::make_unique<TAffineVectorList>()),
      vertexMemory_(std::make_unique<TIntegerList>()),
      ownVertices_(std::make_unique<TAffineVectorList>()),
      vertices_(ownVertices_.get()) {}

TConnectivity::~TConnectivity() = default;

void TConnectivity::Clear() {
  edgeVerticesIndices_->Clear();
  edgeFaces_->Clear();
  faceVisible_->Clear();
  faceVertexIndex_->Clear();
  faceNormal_->Clear();
  vertexMemory_->Clear();
  if (ownVertices_) ownVertices_->Clear();
  edgeIndex_.clear();
  facesWithoutEdges_.clear();
}

void TConnectivity::ShareVertices(TAffineVectorList* Shared) {
  if (Shared) {
    vertices_ = Shared;
    ownVertices_.reset();
  } else {
    ownVertices_ = std::make_unique<TAffineVectorList>();
    vertices_ = ownVertices_.get();
  }
}

namespace {

// The unit normal of the face (p, q, r); the null vector when it has no area (repeated corners,
// or corners in line to within their rounding), and so no side that faces anywhere.
TAffineVector FaceUnitNormal(const TAffineVector& p, const TAffineVector& q, const TAffineVector& r) {
  return TriangleNormalOrNull(p, q, r);
}

// Whether a normal found above is one (not the null vector of a face without area).
bool HasNormal(const TAffineVector& n) { return n[0] != 0 || n[1] != 0 || n[2] != 0; }

constexpr std::uint8_t kFaceHidden = 0, kFaceVisible = 1, kFaceWithoutSide = 2;

std::uint64_t PairKey(int a, int b) {
  if (a > b) std::swap(a, b);
  return (std::uint64_t(std::uint32_t(a)) << 32) | std::uint32_t(b);
}

}  // namespace

int TConnectivity::AddIndexedEdge(int VertexIndex1, int VertexIndex2, int FaceIndex) {
  auto [it, added] = edgeIndex_.try_emplace(PairKey(VertexIndex1, VertexIndex2), EdgeCount());
  if (!added) {
    edgeFaces_->Put(2 * it->second + 1, FaceIndex);
    return it->second;
  }
  edgeVerticesIndices_->AddPair(VertexIndex1, VertexIndex2);
  edgeFaces_->AddPair(FaceIndex, -1);
  return it->second;
}

int TConnectivity::AddIndexedFace(int VertexIndex1, int VertexIndex2, int VertexIndex3) {
  const int n = vertices_->Count();
  RTL_ASSERT(VertexIndex1 >= 0 && VertexIndex1 < n && VertexIndex2 >= 0 && VertexIndex2 < n && VertexIndex3 >= 0 &&
             VertexIndex3 < n);
  faceVertexIndex_->AddTriple(VertexIndex1, VertexIndex2, VertexIndex3);
  const TAffineVector normal =
      FaceUnitNormal(vertices_->Get(VertexIndex1), vertices_->Get(VertexIndex2), vertices_->Get(VertexIndex3));
  if (precomputeFaceNormal_) faceNormal_->Add(normal);
  const int face = faceVisible_->Add(kFaceHidden);
  if (!HasNormal(normal)) {
    // Without area (a strip joined by repeated indices, a sliver in an exported mesh) its edges
    // would take the place of a real face's neighbour. Corners that are apart may move apart
    // later (a shared vertex list): such a face joins its edges once it has an area.
    if (VertexIndex1 != VertexIndex2 && VertexIndex2 != VertexIndex3 && VertexIndex3 != VertexIndex1)
      facesWithoutEdges_.push_back(face);
    return face;
  }
  JoinEdges(face);
  return face;
}

void TConnectivity::JoinEdges(int Face) {
  const std::int32_t* v = faceVertexIndex_->List() + 3 * Face;
  const int a = v[0], b = v[1], c = v[2];
  AddIndexedEdge(a, b, Face);
  AddIndexedEdge(b, c, Face);
  AddIndexedEdge(c, a, Face);
}

int TConnectivity::AddFace(const TAffineVector& Vertex1, const TAffineVector& Vertex2, const TAffineVector& Vertex3) {
  const int a = vertices_->FindOrAdd(Vertex1);
  const int b = vertices_->FindOrAdd(Vertex2);
  const int c = vertices_->FindOrAdd(Vertex3);
  return AddIndexedFace(a, b, c);
}

int TConnectivity::AddQuad(const TAffineVector& Vertex1, const TAffineVector& Vertex2, const TAffineVector& Vertex3,
                           const TAffineVector& Vertex4) {
  AddFace(Vertex1, Vertex2, Vertex3);
  return AddFace(Vertex3, Vertex4, Vertex1);
}

void TConnectivity::CreateSilhouette(const TGLSilhouetteParameters& Parameters,
                                     std::unique_ptr<TGLSilhouette>& Silhouette, bool AddToSilhouette) {
  if (!Silhouette)
    Silhouette = std::make_unique<TGLSilhouette>();
  else if (!AddToSilhouette)
    Silhouette->Clear();
  vertexMemory_->Flush();

  TGLSilhouette& sil = *Silhouette;
  const TAffineVector* verts = vertices_->List();
  auto idx = [&](int v) {
    if (vertexMemory_->Count() <= v) {
      const int from = vertexMemory_->Count();
      vertexMemory_->SetCount(v + 1);
      for (int i = from; i <= v; ++i) vertexMemory_->Put(i, -1);
    }
    int r = vertexMemory_->Get(v);
    if (r == -1) {
      r = sil.Vertices()->AddPoint(verts[v]);
      vertexMemory_->Put(v, r);
    }
    return r;
  };

  const std::int32_t* faces = faceVertexIndex_->List();
  const int vertexCount = vertices_->Count();
  // Faces that had no area when they were added and have one now take part from now on.
  for (size_t i = 0; i < facesWithoutEdges_.size();) {
    const int f = facesWithoutEdges_[i];
    const int p = faces[3 * f], q = faces[3 * f + 1], r = faces[3 * f + 2];
    RTL_ASSERT(p < vertexCount && q < vertexCount && r < vertexCount);
    const TAffineVector normal = FaceUnitNormal(verts[p], verts[q], verts[r]);
    if (!HasNormal(normal)) {
      ++i;
      continue;
    }
    if (precomputeFaceNormal_) faceNormal_->Put(f, normal);
    JoinEdges(f);
    facesWithoutEdges_[i] = facesWithoutEdges_.back();
    facesWithoutEdges_.pop_back();
  }
  for (int f = 0; f < FaceCount(); ++f) {
    const int p = faces[3 * f], q = faces[3 * f + 1], r = faces[3 * f + 2];
    // A shared vertex list may have shrunk since the faces were added.
    RTL_ASSERT(p < vertexCount && q < vertexCount && r < vertexCount);
    const TAffineVector normal =
        precomputeFaceNormal_ ? faceNormal_->Get(f) : FaceUnitNormal(verts[p], verts[q], verts[r]);
    if (!HasNormal(normal)) {
      faceVisible_->Put(f, kFaceWithoutSide);
      continue;
    }
    const bool visible = AffineVectorDotProduct(AffineVectorSubtract(Parameters.SeenFrom, verts[p]), normal) >= 0;
    faceVisible_->Put(f, visible ? kFaceVisible : kFaceHidden);
    if (!visible && Parameters.CapSilhouette) {
      const int ip = idx(p), iq = idx(q), ir = idx(r);  // vertices numbered in this order
      sil.CapIndices()->AddTriple(ip, iq, ir);
    }
  }

  const std::int32_t* edges = edgeVerticesIndices_->List();
  const std::int32_t* edgeFaces = edgeFaces_->List();
  const std::uint8_t* vis = faceVisible_->List();
  for (int e = 0; e < EdgeCount(); ++e) {
    const int a = edges[2 * e], b = edges[2 * e + 1];
    int f1 = edgeFaces[2 * e], f2 = edgeFaces[2 * e + 1];
    // A face that lost its area since it was added counts as absent: the edge is open.
    if (f2 != -1 && vis[f2] == kFaceWithoutSide) f2 = -1;
    if (vis[f1] == kFaceWithoutSide) {
      if (f2 == -1) continue;
      // Only the second face is left; it runs along the edge as (b, a).
      if (vis[f2] == kFaceHidden) {
        const int ib = idx(b);
        sil.Indices()->AddPair(ib, idx(a));
      }
      continue;
    }
    if (f2 != -1 && vis[f1] == vis[f2]) continue;
    if (!vis[f1]) {
      const int ia = idx(a);
      sil.Indices()->AddPair(ia, idx(b));
    } else if (f2 != -1) {
      const int ib = idx(b);
      sil.Indices()->AddPair(ib, idx(a));
    }
  }
}
