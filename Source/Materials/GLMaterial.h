// Materials, shaders, library materials and the material library.
//
// Every drawable scene object owns a TGLMaterial: front and back face properties, blending,
// lighting and fog options, face culling, a texture and extra texture units, or a link to a
// named material of a TGLMaterialLibrary that then replaces all of it. The render step calls
// Apply before drawing and UnApply after, drawing again while UnApply answers True.
//
// Lifetimes: a material registers as a user of the library material it links to; a library
// material that goes away detaches its users, and a library that goes away clears the library
// reference of every material that still points to it. Shaders and library materials know
// each other the same way. Destructors never throw.
//
// Rendering (GUI) thread only; GL calls through the entry-point table and the state cache.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Source/Base/VectorTypes.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Materials/GLTexture.h"
#include "rtl/Classes.h"

struct TRenderContextInfo;
class TGLMaterialLibrary;
class TGLLibMaterial;
class TGLLibMaterials;

enum TBlendingMode : uint8_t { bmOpaque, bmTransparency, bmAdditive, bmAlphaTest50, bmAlphaTest100, bmModulate };
enum TMaterialOption : uint8_t { moIgnoreFog, moNoLighting };
using TMaterialOptions = TSet<TMaterialOption>;
enum TFaceCulling : uint8_t { fcBufferDefault, fcCull, fcNoCull };

class TGLMaterial : public TGLUpdateAbleObject {
  RTL_CLASS(TGLMaterial, TGLUpdateAbleObject)
 public:
  explicit TGLMaterial(TPersistent* AOwner);
  ~TGLMaterial() override;

  void Assign(TPersistent* Source) override;
  // Scene-object owner: its NotifyChange; library-material owner: it notifies its users.
  void NotifyChange(TObject* Sender) override;
  // Scene-object owner: structure changed; library-material owner: passed to its users.
  void NotifyTexMapChange(TObject* Sender);

  TGLFaceProperties* FrontProperties() const noexcept { return front_.get(); }
  void SetFrontProperties(TGLFaceProperties* v);
  // Created on first access.
  TGLFaceProperties* BackProperties();
  TGLFaceProperties* BackPropertiesIfAny() const noexcept { return back_.get(); }
  void SetBackProperties(TGLFaceProperties* v);
  TBlendingMode BlendingMode() const noexcept { return blendingMode_; }
  void SetBlendingMode(TBlendingMode v);
  // Created on first access; SetTexture(nullptr) frees it.
  TGLTexture* Texture();
  TGLTexture* TextureIfAny() const noexcept { return texture_.get(); }
  void SetTexture(TGLTexture* v);
  // Created on first access; SetTextureEx(nullptr) is ignored without a collection.
  TGLTextureEx* TextureEx();
  TGLTextureEx* TextureExIfAny() const noexcept { return textureEx_.get(); }
  void SetTextureEx(TGLTextureEx* v);
  TMaterialOptions MaterialOptions() const noexcept { return options_; }
  void SetMaterialOptions(TMaterialOptions v);
  TFaceCulling FaceCulling() const noexcept { return faceCulling_; }
  void SetFaceCulling(TFaceCulling v);

  TGLMaterialLibrary* MaterialLibrary() const noexcept { return library_; }
  // Stores the reference, then resolves LibMaterialName again.
  void SetMaterialLibrary(TGLMaterialLibrary* v);
  const std::string& LibMaterialName() const noexcept { return libMaterialName_; }
  // A cyclic chain of links is an assertion failure "Error: Cyclic material reference
  // detected!" and the name is not stored.
  void SetLibMaterialName(const std::string& v);
  // The library material the name resolved to, nullptr when none.
  TGLLibMaterial* LibMaterial() const noexcept { return currentLibMaterial_; }

  void Apply(TRenderContextInfo& rci);
  // True asks the caller to draw again and call UnApply again.
  bool UnApply(TRenderContextInfo& rci);
  bool Blended() const;
  // Whether Apply and UnApply of both send the same state, so objects of either can be drawn
  // under one of them. Known only for materials of their own (no library material) whose
  // textures are both off or both show one shared picture the same way; false otherwise.
  bool SameLook(const TGLMaterial& other) const;
  void DestroyHandles();
  // Library reference, name and link cleared (the library material is going away).
  void DetachFromLibrary();

 private:
  friend class TGLMaterialLibrary;
  bool TextureUnitZeroEnabled() const;
  // UnApply of the material's own settings (no library material).
  void UnApplyOwn(TRenderContextInfo& rci);
  void ResolveLibMaterial(const std::string& name);
  std::unique_ptr<TGLFaceProperties> front_, back_;
  TBlendingMode blendingMode_ = bmOpaque;
  std::unique_ptr<TGLTexture> texture_;
  std::unique_ptr<TGLTextureEx> textureEx_;
  TGLMaterialLibrary* library_ = nullptr;
  std::string libMaterialName_;
  TMaterialOptions options_;
  TFaceCulling faceCulling_ = fcBufferDefault;
  TGLLibMaterial* currentLibMaterial_ = nullptr;
};

// Draws of one object in one frame at most: a material that keeps asking for passes must not
// hang the view.
inline constexpr int MaxMaterialPasses = 64;

// Where a shader runs relative to the material of the library material using it.
enum TGLShaderStyle : uint8_t { ssBeforeMaterial, ssAfterMaterial, ssReplaceMaterial };

// Abstract shader: Apply and UnApply alternate, UnApply repeated while it answers True.
class TGLShader : public TGLUpdateAbleComponent {
  RTL_CLASS(TGLShader, TGLUpdateAbleComponent)
 public:
  explicit TGLShader(TComponent* AOwner);
  ~TGLShader() override;

  bool Enabled() const noexcept { return enabled_; }
  // Changing the value while active: assertion failure "Shader is active.".
  void SetEnabled(bool v);
  TGLShaderStyle ShaderStyle() const noexcept { return shaderStyle_; }
  void SetShaderStyle(TGLShaderStyle v) { shaderStyle_ = v; }
  bool Active() const noexcept { return active_; }
  bool Initialized() const noexcept { return initialized_; }

  // Already active: assertion failure "Unbalanced shader application.".
  void Apply(TRenderContextInfo& rci, TObject* Sender);
  // Not active: the same failure. True asks for another pass.
  bool UnApply(TRenderContextInfo& rci);
  // Ends an application cut short by a failure: one DoUnApply (its failures ignored), inactive.
  void AbandonApplication(TRenderContextInfo& rci) noexcept;

  void BeginUpdate() { ++updateCount_; }
  void EndUpdate();
  // Outside an update: every user notifies its users (last first), then the shader finalises.
  void NotifyChange(TObject* Sender) override;

  void RegisterUser(TGLLibMaterial* user);
  void UnRegisterUser(TGLLibMaterial* user);

 protected:
  virtual void DoApply(TRenderContextInfo& rci, TObject* Sender) = 0;
  virtual bool DoUnApply(TRenderContextInfo& rci) = 0;
  virtual void DoInitialize() {}
  virtual void DoFinalize() {}

 private:
  void InitializeShader();
  void FinalizeShader();
  bool enabled_ = true;
  std::vector<TGLLibMaterial*> users_;
  std::unique_ptr<TGLVirtualHandle> virtualHandle_;
  TGLShaderStyle shaderStyle_ = ssAfterMaterial;
  int updateCount_ = 0;
  bool active_ = false;
  bool initialized_ = false;
};

// A named material of a library, with a texture matrix, a second texture taken from another
// library material and an optional shader.
class TGLLibMaterial : public TCollectionItem {
  RTL_CLASS(TGLLibMaterial, TCollectionItem)
 public:
  explicit TGLLibMaterial(TCollection* ACollection);
  ~TGLLibMaterial() override;

  // From a TGLLibMaterial: a unique name derived from the source's, material, offset, scale and
  // Texture2Name (not the shader, not Tag).
  void Assign(TPersistent* Source) override;
  std::string GetDisplayName() override { return name_; }

  const std::string& Name() const noexcept { return name_; }
  // Made unique in the collection (except while the library is loading).
  void SetName(const std::string& v);
  uint32_t NameHashKey() const noexcept { return nameHashKey_; }
  TGLMaterial* Material() const noexcept { return material_.get(); }
  void SetMaterial(TGLMaterial* v);
  TGLCoordinates* TextureOffset() const noexcept { return offset_.get(); }
  TGLCoordinates* TextureScale() const noexcept { return scale_.get(); }
  void SetTextureOffset(TGLCoordinates* v);
  void SetTextureScale(TGLCoordinates* v);
  const std::string& Texture2Name() const noexcept { return texture2Name_; }
  void SetTexture2Name(const std::string& v);
  TGLShader* Shader() const noexcept { return shader_; }
  void SetShader(TGLShader* v);
  int Tag() const noexcept { return tag_; }
  void SetTag(int v) noexcept { tag_ = v; }

  bool TextureMatrixIsIdentity() const noexcept { return textureMatrixIsIdentity_; }
  const TMatrix4f& TextureMatrix() const noexcept { return textureMatrix_; }
  // Recomputes the matrix from offset and scale, then notifies the users.
  void CalculateTextureMatrix();
  // The resolved second-texture material, nullptr when none.
  TGLLibMaterial* Texture2Material() const noexcept { return libMatTexture2_; }
  TGLLibMaterials* LibMaterials() const;
  TGLMaterialLibrary* MaterialLibrary() const;

  void Apply(TRenderContextInfo& rci);
  // True when the shader asks for another pass.
  bool UnApply(TRenderContextInfo& rci);
  // Uploads the texture when it is enabled.
  void PrepareTexture();
  void DestroyHandles();

  // Users: materials, library materials, update-able objects and components. Registering the
  // same user twice is an assertion failure.
  void RegisterUser(TObject* user);
  void UnregisterUser(TObject* user);
  const std::vector<TObject*>& Users() const noexcept { return users_; }
  void NotifyUsers();
  void NotifyUsersOfTexMapChange();
  void Loaded();

 private:
  friend class TGLMaterialLibrary;
  friend class TGLLibMaterials;
  // Every change of name_ goes through here, so that the collection's name index follows it.
  void StoreName(std::string v);
  void IndexName();
  void UnindexName();
  void DoTextureNeeded(TObject* Sender, std::string& fileName);
  // The material with the second texture and texture matrix; applied is set once the material
  // is applied (and so needs undoing).
  void ApplyMaterial(TRenderContextInfo& rci, bool& applied);
  void UnApplyMaterial(TRenderContextInfo& rci);
  std::vector<TObject*> users_;
  std::string name_;
  uint32_t nameHashKey_ = 0;
  TGLLibMaterials* nameIndex_ = nullptr;  // the collection whose index counts name_
  std::unique_ptr<TGLMaterial> material_;
  std::unique_ptr<TGLCoordinates> offset_, scale_;
  bool textureMatrixIsIdentity_ = true;
  TMatrix4f textureMatrix_{};
  std::string texture2Name_;
  TGLShader* shader_ = nullptr;
  bool notifying_ = false;
  TGLLibMaterial* libMatTexture2_ = nullptr;
  bool texture2Applied_ = false;  // the last Apply used the second texture
  int passes_ = 0;                // further passes the shader asked for since Apply
  int tag_ = 0;
};

class TGLLibMaterials : public TOwnedCollection {
  RTL_CLASS(TGLLibMaterials, TOwnedCollection)
 public:
  explicit TGLLibMaterials(TGLMaterialLibrary* AOwner);
  ~TGLLibMaterials() override;
  TGLMaterialLibrary* Library() const noexcept { return library_; }
  TGLLibMaterial* Add() { return AddAs<TGLLibMaterial>(); }
  TGLLibMaterial* Items(int index) const { return ItemAs<TGLLibMaterial>(index); }
  // Same hash and exactly the same (case-sensitive) name; the first match in collection order;
  // nullptr when none. Constant time while names are unique (they are, except as a form loads).
  TGLLibMaterial* FindMaterialByName(const std::string& name) const;
  // base, base1, base2, ... the first not taken. Constant time per call on average, also when
  // thousands of materials share a base (a library stream of same-named records).
  std::string MakeUniqueName(const std::string& base) const;
  // Name look-ups, candidates tried and items compared by the two calls above since the
  // collection was made: the naming cost as a count of steps, for tests.
  uint64_t NameSteps() const noexcept { return nameSteps_; }
  void PrepareTextures();
  void DestroyHandles();
  void Loaded();

 protected:
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override;

 private:
  friend class TGLLibMaterial;
  friend class TGLMaterialLibrary;
  void NameTaken(TGLLibMaterial* holder);
  void NameFreed(TGLLibMaterial* holder);
  // Whether a material of the collection carries the name (one step).
  bool Taken(const std::string& name) const;
  TGLMaterialLibrary* library_;
  // The materials of the collection carrying each name, in no particular order.
  std::unordered_map<std::string, std::vector<TGLLibMaterial*>> nameHolders_;
  mutable uint64_t nameSteps_ = 0;
  // Per base given to MakeUniqueName: every candidate below `next` is taken, except possibly the
  // ones in `holes` (freed since).
  struct TUniqueNameScan {
    int next = 0;
    std::set<int> holes;
  };
  mutable std::unordered_map<std::string, TUniqueNameScan> uniqueNameScans_;
};

// h := length; h := code(ch) + 2h per character, 32-bit wrap-around.
uint32_t LibMaterialNameHash(const std::string& name);

// The decoded pictures of one library stream load, counted as 32-bit texels (the form a texture
// takes when used): 64 Mtexels, 256 MB. Pictures are counted by the size they claim, before each
// is decoded; the record whose pictures would pass it fails the load.
inline constexpr int64_t MaxLibraryLoadTexels = 64ll * 1024 * 1024;

class TGLMaterialLibrary : public TGLCadenceAbleComponent {
  RTL_CLASS(TGLMaterialLibrary, TGLCadenceAbleComponent)
 public:
  explicit TGLMaterialLibrary(TComponent* AOwner);
  ~TGLMaterialLibrary() override;

  TGLLibMaterials* Materials() const noexcept { return materials_.get(); }
  void SetMaterials(TGLLibMaterials* v);
  const std::string& TexturePaths() const noexcept { return texturePaths_; }
  // Split at ";", trimmed, empty pieces skipped, each ending with one "\".
  void SetTexturePaths(const std::string& v);
  const std::vector<std::string>& TexturePathList() const noexcept { return texturePathList_; }
  // When on, a stream load updates same-named materials instead of replacing the collection.
  bool MergeOnLoad() const noexcept { return mergeOnLoad_; }
  void SetMergeOnLoad(bool v) noexcept { mergeOnLoad_ = v; }

  void Loaded() override;
  void DestroyTextureHandles();
  // The versioned library stream (version 2); reading accepts versions 0 to 2. A stream that
  // cannot be read (damaged, a picture refused, pictures past MaxLibraryLoadTexels) raises
  // EReadError, or the archive version error, and leaves the library as it was.
  // Every texture with a picture image keeps its picture (a picture file's is read when saving;
  // one that cannot be read raises ETexture before anything is written, unless the texture is
  // off: it is then kept off without a picture) and whether it is off; its other settings are
  // not stored. What the reader would refuse raises ETexture before anything is written:
  // pictures past MaxLibraryLoadTexels. Blank and float-data images keep only their sizes, which
  // hold no pixels and take nothing from that budget.
  void SaveToStream(TStream* stream);
  void LoadFromStream(TStream* stream);

  // The texture-path search of every library material's texture.
  void DoTextureNeeded(TObject* Sender, std::string& textureFileName);
  TTextureNeededEvent OnTextureNeeded;

  // Materials that refer to this library; their reference is cleared when it goes away.
  void AddReferringMaterial(TGLMaterial* material);
  void RemoveReferringMaterial(TGLMaterial* material);

 private:
  std::unique_ptr<TGLLibMaterials> materials_;
  bool mergeOnLoad_ = false;
  std::string texturePaths_;
  std::vector<std::string> texturePathList_;
  std::vector<TGLMaterial*> referringMaterials_;
};

// Registers the classes and published properties of this unit.
void RegisterGLMaterialClasses();
