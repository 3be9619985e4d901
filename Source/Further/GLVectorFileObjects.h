// The mesh-file formats: a file class per format, the process-wide registry of formats by
// extension, and the "glsm" format (a ".glsm" file is exactly the saved TMeshObjectList).
//
// Includes the mesh objects, skeletons, mesh scene objects and actors the formats load, so that
// code loading meshes needs this header alone.
#pragma once

#include "Source/Base/ApplicationFileIO.h"
#include "Source/Further/GLActor.h"
#include "Source/Further/GLBaseMesh.h"
#include "Source/Further/GLMeshObjects.h"
#include "Source/Further/GLSkeleton.h"

#include <string>

class TVectorFile : public TDataFile {
  RTL_CLASS(TVectorFile, TDataFile)
 public:
  // The owner must be a TGLBaseMesh (assertion).
  explicit TVectorFile(TPersistent* AOwner);
  TGLBaseMesh* Owner() const noexcept { return mesh_; }
  int NormalsOrientation() const noexcept { return normalsOrientation_; }
  void SetNormalsOrientation(int Value) noexcept { normalsOrientation_ = Value; }
  // Lists a load fills in place of the owner's (nullptr: the owner's), so that the owner can
  // keep what it holds until the whole file is read.
  void SetTarget(TMeshObjectList* AMeshObjects, TSkeleton* ASkeleton) noexcept {
    target_ = AMeshObjects;
    targetSkeleton_ = ASkeleton;
  }

 protected:
  // The mesh objects and the skeleton loaded or saved: the target's, else the owner's.
  TMeshObjectList* MeshObjects() const;
  TSkeleton* Skeleton() const;

 private:
  TGLBaseMesh* mesh_;
  int normalsOrientation_ = 0;
  TMeshObjectList* target_ = nullptr;
  TSkeleton* targetSkeleton_ = nullptr;
};

// The archive of the owner's mesh-object list.
class TGLGLSMVectorFile : public TVectorFile {
  RTL_CLASS(TGLGLSMVectorFile, TVectorFile)
 public:
  explicit TGLGLSMVectorFile(TPersistent* AOwner) : TVectorFile(AOwner) {}
  TDataFileCapabilities Capabilities() const override { return {dfcRead, dfcWrite}; }
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;
};

using TVectorFileClass = TClass;

class TVectorFileFormat : public TObject {
  RTL_CLASS(TVectorFileFormat, TObject)
 public:
  TVectorFileClass VectorFileClass = nullptr;
  std::string Extension;  // lower-case
  std::string Description;
  int DescResID = 0;
};

class TVectorFileFormatsList : public TPersistentObjectList {
  RTL_CLASS(TVectorFileFormatsList, TPersistentObjectList)
 public:
  TVectorFileFormatsList() = default;
  ~TVectorFileFormatsList() override;
  void Add(const std::string& Ext, const std::string& Desc, int DescID, TVectorFileClass Class);
  // Last registration first; nullptr when none.
  TVectorFileClass FindExt(const std::string& Ext) const;
  // By the file name's extension; EInvalidVectorFile when unknown.
  TVectorFileClass FindFromFileName(const std::string& FileName) const;
  TVectorFileFormat* operator[](int Index) const noexcept { return static_cast<TVectorFileFormat*>(Get(Index)); }
};

// The process-wide registry, created on first use.
TVectorFileFormatsList* GetVectorFileFormats();
void RegisterVectorFileFormat(const std::string& AExtension, const std::string& ADescription, TVectorFileClass AClass);

// Registers the "glsm" format, makes the mesh, skeleton, face-group and scene classes known to
// the class registry by name and declares the published properties.
void RegisterGLVectorFileObjects();
