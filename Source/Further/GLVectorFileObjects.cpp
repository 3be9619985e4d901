// The mesh-file formats: the registry of formats by extension, the file class and the glsm file;
// registration of the mesh classes.
#include "Source/Further/GLVectorFileObjects.h"

#include "Source/Scene/GLStrings.h"
#include "rtl/SysUtils.h"

// ---------------------------------------------------------------------------------------------
// Mesh-file formats

TVectorFileFormatsList::~TVectorFileFormatsList() {
  for (int i = 0; i < Count(); ++i) delete (*this)[i];
  inherited::Clear();
}

void TVectorFileFormatsList::Add(const std::string& Ext, const std::string& Desc, int DescID, TVectorFileClass Class) {
  auto format = std::make_unique<TVectorFileFormat>();
  format->VectorFileClass = Class;
  format->Extension = LowerCase(Ext);
  format->Description = Desc;
  format->DescResID = DescID;
  inherited::Add(format.release());
}

TVectorFileClass TVectorFileFormatsList::FindExt(const std::string& Ext) const {
  const std::string ext = LowerCase(Ext);
  for (int i = Count() - 1; i >= 0; --i)
    if ((*this)[i]->Extension == ext) return (*this)[i]->VectorFileClass;
  return nullptr;
}

TVectorFileClass TVectorFileFormatsList::FindFromFileName(const std::string& FileName) const {
  std::string ext = ExtractFileExt(FileName);
  if (!ext.empty()) ext.erase(0, 1);
  TVectorFileClass result = FindExt(ext);
  if (!result) throw EInvalidVectorFile(Format(glsUnknownExtension, ext, "GLFile" + UpperCase(ext)));
  return result;
}

TVectorFileFormatsList* GetVectorFileFormats() {
  static const std::unique_ptr<TVectorFileFormatsList> formats = std::make_unique<TVectorFileFormatsList>();
  return formats.get();
}

void RegisterVectorFileFormat(const std::string& AExtension, const std::string& ADescription, TVectorFileClass AClass) {
  RegisterClass(AClass);
  GetVectorFileFormats()->Add(AExtension, ADescription, 0, AClass);
}

// ---------------------------------------------------------------------------------------------
// Vector files

TVectorFile::TVectorFile(TPersistent* AOwner) : TDataFile(AOwner), mesh_(nullptr) {
  RTL_ASSERT(AOwner && AOwner->Is<TGLBaseMesh>());
  mesh_ = static_cast<TGLBaseMesh*>(AOwner);
}

TMeshObjectList* TVectorFile::MeshObjects() const { return target_ ? target_ : mesh_->MeshObjects(); }

TSkeleton* TVectorFile::Skeleton() const { return targetSkeleton_ ? targetSkeleton_ : mesh_->Skeleton(); }

void TGLGLSMVectorFile::LoadFromStream(TStream* Stream) { MeshObjects()->LoadFromStream(Stream); }

void TGLGLSMVectorFile::SaveToStream(TStream* Stream) { MeshObjects()->SaveToStream(Stream); }

void RegisterGLVectorFileObjects() {
  if (!GetVectorFileFormats()->FindExt("glsm"))
    RegisterVectorFileFormat("glsm", "Scene Mesh", TGLGLSMVectorFile::StaticClass());
  RegisterGLMeshObjectsClasses();
  RegisterGLSkeletonClasses();
  RegisterGLBaseMeshClasses();
  RegisterGLActorClasses();
}
