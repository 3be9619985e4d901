// Drawing of mesh objects and face groups: immediate-mode and array paths, grouped material
// passes, light maps.
#include "Source/Further/GLMeshObjects.h"
#include "Source/Further/GLVectorFileInternal.h"

using namespace vector_file_detail;

#include "Source/Base/OpenGL1x.h"
#include "Source/Further/GLBaseMeshSilhouette.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStrings.h"
#include "Source/Further/MeshUtils.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

// ---------------------------------------------------------------------------------------------
// Drawing of mesh objects and face groups

namespace {

// The pass number of the grouped material pass, shared by all meshes.
int vRenderGroupCounter = 0;

void SendCorner(const TMeshObject* mo, int v, int n, int t, const TAffineVector* texCoord, bool colors) {
  if (n >= 0 && n < mo->Normals()->Count()) GL.glNormal3fv((*mo->Normals())[n].data());
  if (colors && v < mo->Colors()->Count()) GL.glColor4fv((*mo->Colors())[v].data());
  if (texCoord)
    GL.glTexCoord3fv(texCoord->data());
  else if (t >= 0 && t < mo->TexCoords()->Count())
    GL.glTexCoord3fv((*mo->TexCoords())[t].data());
  GL.glVertex3fv((*mo->Vertices())[v].data());
}

// Every index of List must address Count items (assertion).
void CheckIndices(const TIntegerList* List, int Count) {
  for (int i = 0; i < List->Count(); ++i)
    RTL_ASSERT((*List)[i] >= 0 && (*List)[i] < Count, "Face group index out of range");
}

GLenum BeginModeOf(TFaceGroupPrimitive Mode) {
  RTL_ASSERT(Mode != fgpQuads && Mode <= fgpQuads, "Unsupported face group mode");
  return FaceGroupPrimitiveToGL(Mode);
}

}  // namespace

void TFaceGroup::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
  materialCache_ =
      (Library && !materialName_.empty()) ? Library->Materials()->FindMaterialByName(materialName_) : nullptr;
}

void TFGVertexIndexList::BuildList(TRenderContextInfo& rci) {
  TMeshObject* mo = MeshObject();
  if (!mo || vertexIndices_->Count() == 0) return;
  RTL_ASSERT(mode_ <= fgpQuads, "Unknown face group mode");
  CheckIndices(vertexIndices_.get(), mo->Vertices()->Count());
  if (!mo->ArraysDeclared()) mo->DeclareArraysToOpenGL(rci);
  if (GLCaps.ARB_multitexture && !rci.ignoreMaterials && rci.lightmapLibrary &&
      LightMapIndex() != mo->LastLightMapIndex())
    mo->SetLightMap(rci, LightMapIndex());
  GL.glDrawElements(FaceGroupPrimitiveToGL(mode_), vertexIndices_->Count(), GL_UNSIGNED_INT, vertexIndices_->List());
}

void TFGVertexNormalTexIndexList::BuildList(TRenderContextInfo& /*rci*/) {
  TMeshObject* mo = MeshObject();
  const TIntegerList* vi = VertexIndices();
  if (!mo || vi->Count() == 0) return;
  RTL_ASSERT(normalIndices_->Count() == 0 || normalIndices_->Count() >= vi->Count());
  RTL_ASSERT(texCoordIndices_->Count() == 0 || texCoordIndices_->Count() >= vi->Count());
  CheckIndices(vi, mo->Vertices()->Count());
  const TIntegerList* ni = normalIndices_->Count() ? normalIndices_.get() : vi;
  const TIntegerList* ti = texCoordIndices_->Count() ? texCoordIndices_.get() : vi;
  GL.glBegin(BeginModeOf(Mode()));
  for (int i = 0; i < vi->Count(); ++i)
    SendCorner(mo, (*vi)[i], (*ni)[i], mo->TexCoords()->Count() ? (*ti)[i] : -1, nullptr, false);
  GL.glEnd();
}

void TFGIndexTexCoordList::BuildList(TRenderContextInfo& /*rci*/) {
  TMeshObject* mo = MeshObject();
  const TIntegerList* vi = VertexIndices();
  if (!mo || vi->Count() == 0) return;
  RTL_ASSERT(texCoords_->Count() == vi->Count());
  CheckIndices(vi, mo->Vertices()->Count());
  const bool normals = mo->Normals()->Count() == mo->Vertices()->Count();
  const bool colors = mo->Colors()->Count() == mo->Vertices()->Count();
  GL.glBegin(BeginModeOf(Mode()));
  for (int i = 0; i < vi->Count(); ++i) {
    const int v = (*vi)[i];
    SendCorner(mo, v, normals ? v : -1, -1, &(*texCoords_)[i], colors);
  }
  GL.glEnd();
}

void TMeshObject::DeclareArraysToOpenGL(TRenderContextInfo& rci) {
  const int n = Vertices()->Count();
  declaredArrays_ = 0;
  if (n > 0) {
    GL.glVertexPointer(3, GL_FLOAT, 0, Vertices()->List());
    GL.glEnableClientState(GL_VERTEX_ARRAY);
    declaredArrays_ |= 1;
  }
  const bool multi = GLCaps.ARB_multitexture && GL.glClientActiveTextureARB;
  if (!rci.ignoreMaterials) {
    if (n > 0 && Normals()->Count() >= n) {
      GL.glNormalPointer(GL_FLOAT, 0, Normals()->List());
      GL.glEnableClientState(GL_NORMAL_ARRAY);
      declaredArrays_ |= 2;
    }
    if (n > 0 && colors_->Count() >= n) {
      GL.glColorPointer(4, GL_FLOAT, 0, colors_->List());
      GL.glEnableClientState(GL_COLOR_ARRAY);
      declaredArrays_ |= 4;
    }
    if (n > 0 && texCoords_->Count() >= n) {
      GL.glTexCoordPointer(2, GL_FLOAT, 12, texCoords_->List());
      GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
      declaredArrays_ |= 8;
    } else {
      GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    }
    if (multi && n > 0) {
      if (lightMapTexCoords_->Count() >= n) {
        GL.glClientActiveTextureARB(GL_TEXTURE1);
        GL.glTexCoordPointer(2, GL_FLOAT, 8, lightMapTexCoords_->List());
        GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        declaredArrays_ |= 1u << (8 + 1);
      }
      for (std::size_t k = 0; k < texCoordsEx_.size() && k < 16; ++k) {
        if (texCoordsEx_[k]->Count() < n) continue;
        GL.glClientActiveTextureARB(GLenum(GL_TEXTURE0 + k));
        GL.glTexCoordPointer(4, GL_FLOAT, 16, texCoordsEx_[k]->List());
        GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        declaredArrays_ |= 1u << (8 + k);
      }
      GL.glClientActiveTextureARB(GL_TEXTURE0);
    }
  }
  arraysLocked_ = false;
  if (GLCaps.EXT_compiled_vertex_array && GL.glLockArraysEXT && lightMapTexCoords_->Count() == 0 && n > 0) {
    GL.glLockArraysEXT(0, n);
    arraysLocked_ = true;
  }
  lastLightMapIndex_ = -1;
  arraysDeclared_ = true;
  lightMapArrayEnabled_ = false;
}

void TMeshObject::DisableOpenGLArrays(TRenderContextInfo& /*rci*/) {
  if (!arraysDeclared_) return;
  const bool multi = GLCaps.ARB_multitexture && GL.glClientActiveTextureARB;
  if (lightMapArrayEnabled_ && GL.glActiveTextureARB) {
    GL.glActiveTextureARB(GL_TEXTURE1);
    GL.glDisable(GL_TEXTURE_2D);
    GL.glActiveTextureARB(GL_TEXTURE0);
    lightMapArrayEnabled_ = false;
  }
  if (arraysLocked_) GL.glUnlockArraysEXT();
  arraysLocked_ = false;
  if (declaredArrays_ & 1) GL.glDisableClientState(GL_VERTEX_ARRAY);
  if (declaredArrays_ & 2) GL.glDisableClientState(GL_NORMAL_ARRAY);
  if (declaredArrays_ & 4) GL.glDisableClientState(GL_COLOR_ARRAY);
  if (declaredArrays_ & 8) GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  if (multi) {
    for (int k = 0; k < 16; ++k) {
      if (!(declaredArrays_ & (1u << (8 + k)))) continue;
      GL.glClientActiveTextureARB(GLenum(GL_TEXTURE0 + k));
      GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    }
    GL.glClientActiveTextureARB(GL_TEXTURE0);
  }
  declaredArrays_ = 0;
  arraysDeclared_ = false;
}

void TMeshObject::SetLightMap(TRenderContextInfo& rci, int Index) {
  lastLightMapIndex_ = Index;
  if (!GL.glActiveTextureARB) return;
  // An index the library does not reach (stored with the mesh, or a smaller library): the
  // group is drawn without a light map instead of failing at every draw.
  TGLLibMaterials* maps = rci.lightmapLibrary ? rci.lightmapLibrary->Materials() : nullptr;
  if (Index < 0 || !maps || Index >= maps->Count()) {
    if (lightMapArrayEnabled_) {
      GL.glActiveTextureARB(GL_TEXTURE1);
      GL.glDisable(GL_TEXTURE_2D);
      GL.glActiveTextureARB(GL_TEXTURE0);
      lightMapArrayEnabled_ = false;
    }
    return;
  }
  TGLLibMaterial* map = maps->Items(Index);
  GL.glActiveTextureARB(GL_TEXTURE1);
  GL.glBindTexture(GL_TEXTURE_2D, map->Material()->Texture()->GetTextureHandle());
  GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  if (!lightMapArrayEnabled_) {
    GL.glEnable(GL_TEXTURE_2D);
    lightMapArrayEnabled_ = true;
  }
  GL.glActiveTextureARB(GL_TEXTURE0);
}

void TMeshObject::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
  for (int i = 0; i < faceGroups_->Count(); ++i) (*faceGroups_)[i]->PrepareMaterialLibraryCache(Library);
}

void TMeshObject::DropMaterialLibraryCache() {
  for (int i = 0; i < faceGroups_->Count(); ++i) (*faceGroups_)[i]->DropMaterialLibraryCache();
}

void TMeshObject::PrepareBuildList(TRenderContextInfo& rci) {
  if (mode_ != mdmFaceGroups || !rci.materialLibrary) return;
  for (int i = 0; i < faceGroups_->Count(); ++i)
    if (TGLLibMaterial* m = (*faceGroups_)[i]->MaterialCache()) m->PrepareTexture();
}

void TMeshObject::BuildList(TRenderContextInfo& rci) {
  arraysDeclared_ = false;
  lastLightMapIndex_ = -1;
  const bool colorsPerVertex = colors_->Count() > 0 && colors_->Count() == Vertices()->Count();
  if (colorsPerVertex) {
    GL.glPushAttrib(GL_ENABLE_BIT);
    GL.glEnable(GL_COLOR_MATERIAL);
    GL.glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    if (rci.GLStates) rci.GLStates->SendDefaultMaterial();
  }
  TScopeExit popAttrib([colorsPerVertex] {
    if (colorsPerVertex) GL.glPopAttrib();
  });
  TScopeExit disableArrays([this, &rci] { DisableOpenGLArrays(rci); });  // also when a group is refused
  switch (mode_) {
    case mdmTriangles:
    case mdmTriangleStrip: {
      const int n = Vertices()->Count();
      if (n == 0) break;
      const bool normals = Normals()->Count() == n;
      const bool tex = texCoords_->Count() == n;
      // Extra texture-coordinate sets feed texture unit k; unit 0 falls back to TexCoords.
      const bool multi = GLCaps.ARB_multitexture && GL.glMultiTexCoord4fvARB;
      const bool unit0Ex = multi && !texCoordsEx_.empty() && texCoordsEx_[0]->Count() >= n;
      GL.glBegin(mode_ == mdmTriangles ? GL_TRIANGLES : GL_TRIANGLE_STRIP);
      for (int i = 0; i < n; ++i) {
        if (unit0Ex) GL.glMultiTexCoord4fvARB(GL_TEXTURE0, (*texCoordsEx_[0])[i].data());
        if (multi)
          for (std::size_t k = 1; k < texCoordsEx_.size(); ++k)
            if (texCoordsEx_[k]->Count() >= n)
              GL.glMultiTexCoord4fvARB(GLenum(GL_TEXTURE0 + k), (*texCoordsEx_[k])[i].data());
        SendCorner(this, i, normals ? i : -1, (tex && !unit0Ex) ? i : -1, nullptr, colorsPerVertex);
      }
      GL.glEnd();
      break;
    }
    case mdmFaceGroups: {
      const int count = faceGroups_->Count();
      if (!rci.materialLibrary) {
        for (int i = 0; i < count; ++i) (*faceGroups_)[i]->BuildList(rci);
        break;
      }
      // A group refused while its material is applied takes the material (and its shader)
      // off again, so that the next frame does not find it still applied.
      if (!(renderingOptions_ & 1)) {
        int i = 0;
        while (i < count) {
          TFaceGroup* group = (*faceGroups_)[i];
          TGLLibMaterial* material = group->MaterialCache();
          if (!material) {
            group->BuildList(rci);
            ++i;
            continue;
          }
          int end = i + 1;
          while (end < count && (*faceGroups_)[end]->MaterialCache() == material) ++end;
          DrawUnderMaterial(*material, rci, [&] {
            for (int k = i; k < end; ++k) (*faceGroups_)[k]->BuildList(rci);
          });
          i = end;
        }
      } else {
        const int pass = ++vRenderGroupCounter;
        for (int i = 0; i < count; ++i) {
          TFaceGroup* group = (*faceGroups_)[i];
          if (group->RenderGroupID() == pass) continue;
          TGLLibMaterial* material = group->MaterialCache();
          auto buildRun = [&] {
            for (int k = i; k < count; ++k) {
              TFaceGroup* g = (*faceGroups_)[k];
              if (g->RenderGroupID() != pass && g->MaterialCache() == material) {
                g->SetRenderGroupID(pass);
                g->BuildList(rci);
              }
            }
          };
          if (!material) {
            buildRun();
            continue;
          }
          DrawUnderMaterial(*material, rci, [&] {
            // Each pass draws the same run: clear the marks of the run before repeating.
            for (int k = i; k < count; ++k)
              if ((*faceGroups_)[k]->MaterialCache() == material) (*faceGroups_)[k]->SetRenderGroupID(pass - 1);
            buildRun();
          });
        }
      }
      break;
    }
    default: RTL_ASSERT(false, "Unknown mesh object mode");
  }
}

void TMeshObjectList::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
  for (int i = 0; i < Count(); ++i) (*this)[i]->PrepareMaterialLibraryCache(Library);
}

void TMeshObjectList::DropMaterialLibraryCache() {
  for (int i = 0; i < Count(); ++i) (*this)[i]->DropMaterialLibraryCache();
}

void TMeshObjectList::PrepareBuildList(TRenderContextInfo& rci) {
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->Visible()) (*this)[i]->PrepareBuildList(rci);
}

void TMeshObjectList::BuildList(TRenderContextInfo& rci) {
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->Visible()) (*this)[i]->BuildList(rci);
}
