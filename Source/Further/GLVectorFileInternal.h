// What the mesh, skeleton, drawing and actor files of the mesh objects share: checks of stored
// counts, versions and indices, and the corner order of face-group primitives.
#pragma once

#include <string>
#include <vector>

#include "Source/Further/GLMeshObjects.h"
#include "rtl/SysUtils.h"

namespace vector_file_detail {

inline int ReadVersion(TVirtualReader* Reader, const TPersistentObject* Self, int MaxVersion) {
  const int version = Reader->ReadInteger();
  if (version < 0 || version > MaxVersion) Self->RaiseFilerException(version);
  return version;
}

// A count read from an archive: negative counts are broken data.
inline int ReadCount(TVirtualReader* Reader) {
  const int n = Reader->ReadInteger();
  if (n < 0) throw EReadError("Stream read error");
  return n;
}

// A mode enumeration stored as an integer: anything but 0 ... MaxMode is broken data.
inline int ReadMode(TVirtualReader* Reader, const TPersistentObject* Self, int MaxMode) {
  const int mode = Reader->ReadInteger();
  if (mode < 0 || mode > MaxMode) throw EReadError(Format("%s : invalid mode %d", Self->ClassName().c_str(), mode));
  return mode;
}

// Stored data that would fail at every draw is refused when read, naming the object.
[[noreturn]] inline void RaiseStoredDataFault(const TBaseMeshObject* Object, const std::string& What) {
  throw EReadError(Format("%s \"%s\" : %s", Object->ClassName().c_str(), Object->Name().c_str(), What.c_str()));
}

// Empty when every entry of List addresses one of Count items, else the first one that does not.
inline std::string IndexFault(const char* What, const TIntegerList* List, int Count, const char* Items) {
  for (int i = 0; i < List->Count(); ++i) {
    const int v = (*List)[i];
    if (v < 0 || v >= Count) return Format("%s index %d outside the %d %s", What, v, Count, Items);
  }
  return {};
}

// Empty when an index list of Count entries may serve VertexIndices entries, else why not.
inline std::string LengthFault(const char* What, int Count, int VertexIndices) {
  if (Count == 0 || Count >= VertexIndices) return {};
  return Format("%d %s indices for %d vertex indices", Count, What, VertexIndices);
}

inline TMatrix4f WithoutTranslation(TMatrix4f m) {
  m[3] = TVector4f{{0, 0, 0, 1}};
  return m;
}

// Positions (into an index list of Count entries) of the triangle corners of a face group.
inline std::vector<int> CornerPositions(TFaceGroupPrimitive Mode, int Count) {
  std::vector<int> corners;
  if (Count < 3) return corners;
  switch (Mode) {
    case fgpTriangles:
    case fgpFlatTriangles:
      for (int k = 0; k < (Count / 3) * 3; ++k) corners.push_back(k);
      break;
    case fgpTriangleStrip:
      for (int i = 0; i <= Count - 3; ++i) {
        if (i % 2 == 0)
          corners.insert(corners.end(), {i, i + 1, i + 2});
        else
          corners.insert(corners.end(), {i + 2, i + 1, i});
      }
      break;
    case fgpTriangleFan:
      for (int i = 2; i < Count; ++i) corners.insert(corners.end(), {0, i - 1, i});
      break;
    case fgpQuads:
      for (int q = 0; q < Count / 4; ++q) {
        const int a = 4 * q;
        corners.insert(corners.end(), {a, a + 1, a + 2, a, a + 2, a + 3});
      }
      break;
    default: RTL_ASSERT(false, "Unknown face group mode");
  }
  return corners;
}

}  // namespace vector_file_detail
