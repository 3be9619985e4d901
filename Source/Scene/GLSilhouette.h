// Edge and face connectivity of a triangle set, and the silhouette seen from a point: the edges
// where a face turned toward the viewer meets one turned away, plus optional cap triangles.
#pragma once

#include "Source/Base/VectorLists.h"
#include "Source/Base/VectorTypes.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

enum TGLSilhouetteStyle { ssOmni, ssParallel };

// Filled by the caller; CreateSilhouette reads SeenFrom and CapSilhouette.
struct TGLSilhouetteParameters {
  TAffineVector SeenFrom{};  // the light or eye position
  TAffineVector LightDirection{};
  TGLSilhouetteStyle Style = ssOmni;
  std::uint8_t CapSilhouette = 0;  // non-zero asks for cap triangles
};

class TGLSilhouette : public TObject {
  RTL_CLASS(TGLSilhouette, TObject)
 public:
  TGLSilhouette();
  ~TGLSilhouette() override;

  TVectorList* Vertices() const noexcept { return vertices_.get(); }
  // Silhouette edges, two vertex indices each.
  TIntegerList* Indices() const noexcept { return indices_.get(); }
  // Cap triangles, three vertex indices each.
  TIntegerList* CapIndices() const noexcept { return capIndices_.get(); }

  // Empties the three lists (blocks freed).
  void Clear();
  // Empties the three lists, keeping their capacity (silhouettes rebuilt every frame).
  void Flush();
  // Adds for each vertex its direction from Origin as a point at infinity (w = 0), turns each
  // edge (a, b) into the quad (a, b, b + n, a + n) and the caps into the far caps followed by
  // the near caps reversed.
  void ExtrudeVerticesToInfinity(const TAffineVector& Origin);

 private:
  std::unique_ptr<TVectorList> vertices_;
  std::unique_ptr<TIntegerList> indices_;
  std::unique_ptr<TIntegerList> capIndices_;
};

class TBaseConnectivity : public TObject {
  RTL_CLASS(TBaseConnectivity, TObject)
 public:
  explicit TBaseConnectivity(bool APrecomputeFaceNormal) : precomputeFaceNormal_(APrecomputeFaceNormal) {}

  virtual int EdgeCount() const { return 0; }
  virtual int FaceCount() const { return 0; }
  // Creates the silhouette when Silhouette is empty, else clears it unless AddToSilhouette.
  virtual void CreateSilhouette(const TGLSilhouetteParameters& /*Parameters*/,
                                std::unique_ptr<TGLSilhouette>& /*Silhouette*/, bool /*AddToSilhouette*/) {}
  bool PrecomputeFaceNormal() const noexcept { return precomputeFaceNormal_; }

 protected:
  bool precomputeFaceNormal_;
};

class TConnectivity : public TBaseConnectivity {
  RTL_CLASS(TConnectivity, TBaseConnectivity)
 public:
  explicit TConnectivity(bool APrecomputeFaceNormal);
  ~TConnectivity() override;

  int EdgeCount() const override { return edgeVerticesIndices_->Count() / 2; }
  int FaceCount() const override { return faceVisible_->Count(); }
  void CreateSilhouette(const TGLSilhouetteParameters& Parameters, std::unique_ptr<TGLSilhouette>& Silhouette,
                        bool AddToSilhouette) override;
  // Empties every list; a shared vertex list is left to its owner.
  virtual void Clear();

  // Appends a face over existing vertices (indices must be in the vertex list: assertion) and,
  // when it has an area, its three edges; returns the face index. A face without area (repeated
  // corners, or corners in line to within their rounding) joins no edge and takes no part in
  // silhouettes or caps; one whose corners are three vertices joins its edges at the first
  // silhouette that finds it with an area (its vertices moved).
  int AddIndexedFace(int VertexIndex1, int VertexIndex2, int VertexIndex3);
  // The edge (a, b) or (b, a) already present gets Face as its second face; otherwise the edge
  // is appended with faces (Face, -1). Returns the edge index.
  int AddIndexedEdge(int VertexIndex1, int VertexIndex2, int FaceIndex);
  // Points are matched bit for bit against the vertex list or appended.
  int AddFace(const TAffineVector& Vertex1, const TAffineVector& Vertex2, const TAffineVector& Vertex3);
  // (p1, p2, p3) and (p3, p4, p1); returns the second face.
  int AddQuad(const TAffineVector& Vertex1, const TAffineVector& Vertex2, const TAffineVector& Vertex3,
              const TAffineVector& Vertex4);

  TIntegerList* EdgeVerticesIndices() const noexcept { return edgeVerticesIndices_.get(); }
  TIntegerList* EdgeFaces() const noexcept { return edgeFaces_.get(); }
  // Per face, as the last silhouette found it: 1 facing the point, 0 turned away, 2 no area.
  TByteList* FaceVisible() const noexcept { return faceVisible_.get(); }
  TIntegerList* FaceVertexIndex() const noexcept { return faceVertexIndex_.get(); }
  TAffineVectorList* FaceNormal() const noexcept { return faceNormal_.get(); }
  TIntegerList* VertexMemory() const noexcept { return vertexMemory_.get(); }
  TAffineVectorList* Vertices() const noexcept { return vertices_; }
  // Whether the vertex list is the connectivity's own (true after construction).
  bool OwnsVertices() const noexcept { return ownVertices_ != nullptr; }

 protected:
  // Works on another object's vertex list (a mesh's) without copying it: the own list is freed
  // and Shared is read in place, never emptied. nullptr returns to a new, empty own list.
  void ShareVertices(TAffineVectorList* Shared);

 private:
  // Adds the three edges of the face.
  void JoinEdges(int Face);

  std::unique_ptr<TIntegerList> edgeVerticesIndices_;
  std::unique_ptr<TIntegerList> edgeFaces_;
  std::unique_ptr<TByteList> faceVisible_;
  std::unique_ptr<TIntegerList> faceVertexIndex_;
  std::unique_ptr<TAffineVectorList> faceNormal_;
  std::unique_ptr<TIntegerList> vertexMemory_;
  std::unique_ptr<TAffineVectorList> ownVertices_;  // null while a shared list is used
  TAffineVectorList* vertices_;                     // ownVertices_ or the shared list
  // Unordered vertex pair -> the edge holding it, in place of a linear search.
  std::unordered_map<std::uint64_t, int> edgeIndex_;
  // Faces over three vertices that had no area when added, so joined no edge yet.
  std::vector<int> facesWithoutEdges_;
};
