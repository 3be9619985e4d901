// Materials, shaders, library materials and the material library: applying and un-applying,
// streaming and look-up by name.
#include "Source/Materials/GLMaterial.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "Source/Base/ApplicationFileIO.h"
#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStrings.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Read-only stand-in for back properties that were never created: Apply must not create them
// (that would change what the material streams).
const TGLFaceProperties& DefaultFaceProperties() {
  static const TGLFaceProperties defaults(nullptr);
  return defaults;
}

// Whether the second texture-coordinate unit is suppressed. Inside a mapping bracket a Dual
// request is recorded as Main while the unit is suppressed; the pending mode is overwritten by
// the caller's own request afterwards.
bool SecondTexCoordUnitSuppressedInBracket() {
  SetMapTexCoordModeDual();
  return GetMapTexCoordUnitMask() == 1u;
}

}  // namespace

// ---- TGLMaterial -------------------------------------------------------------------------

TGLMaterial::TGLMaterial(TPersistent* AOwner)
    : TGLUpdateAbleObject(AOwner), front_(std::make_unique<TGLFaceProperties>(this)) {}

TGLMaterial::~TGLMaterial() {
  if (currentLibMaterial_) currentLibMaterial_->UnregisterUser(this);
  if (library_) library_->RemoveReferringMaterial(this);
}

void TGLMaterial::Assign(TPersistent* Source) {
  if (!Source || !Source->Is<TGLMaterial>()) {
    inherited::Assign(Source);
    return;
  }
  auto* src = static_cast<TGLMaterial*>(Source);
  if (src->back_)
    BackProperties()->Assign(src->back_.get());
  else
    back_.reset();
  front_->Assign(src->front_.get());
  blendingMode_ = src->blendingMode_;
  options_ = src->options_;
  if (src->texture_)
    Texture()->Assign(src->texture_.get());
  else
    texture_.reset();
  faceCulling_ = src->faceCulling_;
  SetMaterialLibrary(src->library_);
  SetLibMaterialName(src->libMaterialName_);
  if (src->textureEx_)
    TextureEx()->Assign(src->textureEx_.get());
  else if (textureEx_)
    textureEx_->Clear();
  NotifyChange(this);
}

void TGLMaterial::NotifyChange(TObject* Sender) {
  if (UpdateCount() != 0) return;
  TPersistent* owner = Owner();
  if (owner && owner->Is<TGLLibMaterial>()) static_cast<TGLLibMaterial*>(owner)->NotifyUsers();
  inherited::NotifyChange(Sender);
}

void TGLMaterial::NotifyTexMapChange(TObject*) {
  TPersistent* owner = Owner();
  if (owner && owner->Is<TGLBaseSceneObject>())
    static_cast<TGLBaseSceneObject*>(owner)->MarkStructureChanged();
  else if (owner && owner->Is<TGLLibMaterial>())
    static_cast<TGLLibMaterial*>(owner)->NotifyUsersOfTexMapChange();
}

void TGLMaterial::SetFrontProperties(TGLFaceProperties* v) {
  front_->Assign(v);
  NotifyChange(this);
}

TGLFaceProperties* TGLMaterial::BackProperties() {
  if (!back_) back_ = std::make_unique<TGLFaceProperties>(this);
  return back_.get();
}

void TGLMaterial::SetBackProperties(TGLFaceProperties* v) {
  BackProperties()->Assign(v);
  NotifyChange(this);
}

void TGLMaterial::SetBlendingMode(TBlendingMode v) {
  if (v != blendingMode_) {
    blendingMode_ = v;
    NotifyChange(this);
  }
}

TGLTexture* TGLMaterial::Texture() {
  if (!texture_) texture_ = std::make_unique<TGLTexture>(this);
  return texture_.get();
}

void TGLMaterial::SetTexture(TGLTexture* v) {
  if (v)
    Texture()->Assign(v);
  else
    texture_.reset();
  NotifyChange(this);
}

TGLTextureEx* TGLMaterial::TextureEx() {
  if (!textureEx_) textureEx_ = std::make_unique<TGLTextureEx>(this);
  return textureEx_.get();
}

void TGLMaterial::SetTextureEx(TGLTextureEx* v) {
  if (!v) {
    if (!textureEx_) return;
    textureEx_->Clear();
  } else {
    TextureEx()->Assign(v);
  }
  NotifyChange(this);
}

void TGLMaterial::SetMaterialOptions(TMaterialOptions v) {
  if (v != options_) {
    options_ = v;
    NotifyChange(this);
  }
}

void TGLMaterial::SetFaceCulling(TFaceCulling v) {
  if (v != faceCulling_) {
    faceCulling_ = v;
    NotifyChange(this);
  }
}

void TGLMaterial::SetMaterialLibrary(TGLMaterialLibrary* v) {
  if (v != library_) {
    if (library_) library_->RemoveReferringMaterial(this);
    library_ = v;
    if (library_) library_->AddReferringMaterial(this);
  }
  ResolveLibMaterial(libMaterialName_);
}

void TGLMaterial::SetLibMaterialName(const std::string& v) { ResolveLibMaterial(v); }

void TGLMaterial::ResolveLibMaterial(const std::string& name) {
  TGLLibMaterial* target = library_ ? library_->Materials()->FindMaterialByName(name) : nullptr;
  // Follow the chain of links; reaching the library material that owns this material, a library
  // material seen before, or 16 steps is a cycle.
  std::unordered_set<const TGLLibMaterial*> seen;
  for (TGLLibMaterial* lm = target; lm;) {
    RTL_ASSERT(lm->Material() != this && seen.insert(lm).second && seen.size() < 16,
               "Error: Cyclic material reference detected!");
    const TGLMaterial* m = lm->Material();
    lm = m->library_ ? m->library_->Materials()->FindMaterialByName(m->libMaterialName_) : nullptr;
  }
  libMaterialName_ = name;
  if (target != currentLibMaterial_) {
    if (currentLibMaterial_) currentLibMaterial_->UnregisterUser(this);
    currentLibMaterial_ = target;
    if (target) target->RegisterUser(this);
    NotifyTexMapChange(this);
  }
}

bool TGLMaterial::TextureUnitZeroEnabled() const { return TGLTextureEx::IsTextureEnabled(textureEx_.get(), 0); }

void TGLMaterial::Apply(TRenderContextInfo& rci) {
  if (currentLibMaterial_) {
    currentLibMaterial_->Apply(rci);
    return;
  }
  TGLStateCache& cache = *rci.GLStates;
  // Nested materials only count: the last one to release lighting or fog turns it back on.
  if (options_.Contains(moNoLighting)) {
    if (cache.StateEnabled(stLighting)) {
      cache.DisableState(stLighting);
      ++rci.lightingDisabledCounter;
    } else if (rci.lightingDisabledCounter > 0) {
      ++rci.lightingDisabledCounter;
    }
  }
  if (cache.StateEnabled(stLighting))
    front_->Apply(cache, GL_FRONT);
  else
    front_->ApplyNoLighting(cache, GL_FRONT);

  TGLFaceProperties& back = back_ ? *back_ : const_cast<TGLFaceProperties&>(DefaultFaceProperties());
  const bool culling = cache.StateEnabled(stCullFace);
  switch (faceCulling_) {
    case fcBufferDefault:
      if (rci.bufferFaceCull) {
        if (!culling) cache.EnableState(stCullFace);
      } else {
        if (culling) cache.DisableState(stCullFace);
        back.Apply(cache, GL_BACK);
      }
      break;
    case fcCull:
      if (!culling) cache.EnableState(stCullFace);
      break;
    case fcNoCull:
      if (culling) cache.DisableState(stCullFace);
      back.Apply(cache, GL_BACK);
      break;
  }

  if (!rci.ignoreBlendingRequests) {
    switch (blendingMode_) {
      case bmOpaque:
        cache.DisableState(stBlend);
        cache.DisableState(stAlphaTest);
        break;
      case bmTransparency:
        cache.EnableState(stBlend);
        cache.EnableState(stAlphaTest);
        GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        break;
      case bmAdditive:
        cache.EnableState(stBlend);
        cache.EnableState(stAlphaTest);
        GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
        break;
      case bmAlphaTest50:
      case bmAlphaTest100:
        cache.DisableState(stBlend);
        cache.EnableState(stAlphaTest);
        GL.glAlphaFunc(GL_GEQUAL, blendingMode_ == bmAlphaTest50 ? 0.5f : 1.0f);
        break;
      case bmModulate:
        cache.EnableState(stBlend);
        cache.EnableState(stAlphaTest);
        GL.glBlendFunc(GL_DST_COLOR, GL_ZERO);
        break;
    }
  }

  if (options_.Contains(moIgnoreFog)) {
    if (cache.StateEnabled(stFog)) {
      cache.DisableState(stFog);
      ++rci.fogDisabledCounter;
    } else if (rci.fogDisabledCounter > 0) {
      ++rci.fogDisabledCounter;
    }
  }

  // A texture that fails (its upload raises) must not leave lighting or fog counted off: what
  // was applied is undone before the failure goes on.
  try {
    if (textureEx_) {
      if (texture_ && !TextureUnitZeroEnabled())
        texture_->Apply(rci);
      else if (textureEx_->Count() > 0)
        textureEx_->Apply(rci);
    } else if (texture_) {
      texture_->Apply(rci);
    }
  } catch (...) {
    UnApplyOwn(rci);
    throw;
  }
}

bool TGLMaterial::UnApply(TRenderContextInfo& rci) {
  if (currentLibMaterial_) return currentLibMaterial_->UnApply(rci);
  UnApplyOwn(rci);
  return false;
}

void TGLMaterial::UnApplyOwn(TRenderContextInfo& rci) {
  TGLStateCache& cache = *rci.GLStates;
  if (blendingMode_ == bmAlphaTest50 || blendingMode_ == bmAlphaTest100) GL.glAlphaFunc(GL_GREATER, 0);
  if (options_.Contains(moNoLighting) && rci.lightingDisabledCounter > 0)
    if (--rci.lightingDisabledCounter == 0) cache.EnableState(stLighting);
  if (options_.Contains(moIgnoreFog) && rci.fogDisabledCounter > 0)
    if (--rci.fogDisabledCounter == 0) cache.EnableState(stFog);
  if (texture_ && texture_->Enabled() && !TextureUnitZeroEnabled())
    texture_->UnApply(rci);
  else if (textureEx_)
    textureEx_->UnApply(rci);
}

bool TGLMaterial::Blended() const {
  if (currentLibMaterial_) return currentLibMaterial_->Material()->Blended();
  return blendingMode_ == bmTransparency || blendingMode_ == bmAdditive || blendingMode_ == bmModulate;
}

bool TGLMaterial::SameLook(const TGLMaterial& other) const {
  if (this == &other) return true;
  if (currentLibMaterial_ || other.currentLibMaterial_) return false;
  if (blendingMode_ != other.blendingMode_ || options_ != other.options_ || faceCulling_ != other.faceCulling_)
    return false;
  if (!front_->SameLook(*other.front_)) return false;
  const TGLFaceProperties& back = back_ ? *back_ : DefaultFaceProperties();
  if (!back.SameLook(other.back_ ? *other.back_ : DefaultFaceProperties())) return false;
  // Further units are not compared: only materials without them match.
  if ((textureEx_ && textureEx_->Count() > 0) || (other.textureEx_ && other.textureEx_->Count() > 0)) return false;
  const bool on = texture_ && texture_->Enabled(), otherOn = other.texture_ && other.texture_->Enabled();
  if (!on || !otherOn) return on == otherOn;
  return texture_->SameLook(*other.texture_);
}

void TGLMaterial::DestroyHandles() {
  if (texture_) texture_->DestroyHandles();
}

void TGLMaterial::DetachFromLibrary() {
  if (library_) library_->RemoveReferringMaterial(this);
  library_ = nullptr;
  libMaterialName_.clear();
  currentLibMaterial_ = nullptr;
}

// ---- TGLShader ---------------------------------------------------------------------------

TGLShader::TGLShader(TComponent* AOwner)
    : TGLUpdateAbleComponent(AOwner), virtualHandle_(std::make_unique<TGLVirtualHandle>()) {}

TGLShader::~TGLShader() {
  try {
    FinalizeShader();
  } catch (...) {
    // A context that cannot be made current: the name dies with it.
  }
  const std::vector<TGLLibMaterial*> users = users_;
  for (auto it = users.rbegin(); it != users.rend(); ++it) (*it)->SetShader(nullptr);
}

void TGLShader::SetEnabled(bool v) {
  if (v == enabled_) return;
  RTL_ASSERT(!active_, "Shader is active.");
  enabled_ = v;
  NotifyChange(this);
}

void TGLShader::Apply(TRenderContextInfo& rci, TObject* Sender) {
  RTL_ASSERT(!active_, "Unbalanced shader application.");
  if (enabled_) {
    if (virtualHandle_->Handle() == 0) InitializeShader();
    DoApply(rci, Sender);
  }
  active_ = true;
}

bool TGLShader::UnApply(TRenderContextInfo& rci) {
  RTL_ASSERT(active_, "Unbalanced shader application.");
  if (!enabled_) {
    active_ = false;
    return false;
  }
  const bool again = DoUnApply(rci);
  active_ = again;
  return again;
}

void TGLShader::AbandonApplication(TRenderContextInfo& rci) noexcept {
  if (!active_) return;
  active_ = false;
  if (!enabled_) return;
  try {
    DoUnApply(rci);
  } catch (...) {
    // Already unwinding from a failure: the shader is inactive either way.
  }
}

void TGLShader::EndUpdate() {
  RTL_ASSERT(updateCount_ > 0, glsUnBalancedBeginEndUpdate);
  if (--updateCount_ == 0) NotifyChange(this);
}

void TGLShader::NotifyChange(TObject*) {
  if (updateCount_ != 0) return;
  const std::vector<TGLLibMaterial*> users = users_;
  for (auto it = users.rbegin(); it != users.rend(); ++it) (*it)->NotifyUsers();
  FinalizeShader();
}

void TGLShader::RegisterUser(TGLLibMaterial* user) {
  if (std::find(users_.begin(), users_.end(), user) == users_.end()) users_.push_back(user);
}

void TGLShader::UnRegisterUser(TGLLibMaterial* user) {
  users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
}

void TGLShader::InitializeShader() {
  virtualHandle_->OnAllocate = [](TGLVirtualHandle*, uint32_t& handle) { handle = 1; };
  virtualHandle_->OnDestroy = [this](TGLVirtualHandle*, uint32_t&) { FinalizeShader(); };
  virtualHandle_->AllocateName();
  DoInitialize();
  initialized_ = true;
}

void TGLShader::FinalizeShader() {
  if (virtualHandle_->Handle() == 0 || !initialized_) return;
  TGLContext* rc = virtualHandle_->RenderingContext();
  std::optional<TGLContextSwitch> activation;
  if (rc && !rc->IsActive()) activation.emplace(*rc);
  initialized_ = false;
  DoFinalize();
  virtualHandle_->FreeName();
}

// ---- TGLLibMaterial ----------------------------------------------------------------------

uint32_t LibMaterialNameHash(const std::string& name) {
  uint32_t h = uint32_t(name.size());
  for (unsigned char ch : name) h = uint32_t(ch) + 2u * h;
  return h;
}

TGLLibMaterial::TGLLibMaterial(TCollection* ACollection)
    : TCollectionItem(ACollection),
      material_(std::make_unique<TGLMaterial>(this)),
      offset_(std::make_unique<TGLCoordinates>(this, TVector4f{{0, 0, 0, 0}}, csPoint)),
      scale_(std::make_unique<TGLCoordinates>(this, TVector4f{{1, 1, 1, 0}}, csVector)),
      textureMatrix_(IdentityHmgMatrix) {
  TGLLibMaterials* materials = LibMaterials();
  name_ = materials ? materials->MakeUniqueName("LibMaterial") : "LibMaterial";
  nameHashKey_ = LibMaterialNameHash(name_);
  material_->Texture()->OnTextureNeeded = [this](TObject* sender, std::string& fileName) {
    DoTextureNeeded(sender, fileName);
  };
  offset_->OnNotifyChange = [this](TObject*) { CalculateTextureMatrix(); };
  scale_->OnNotifyChange = [this](TObject*) { CalculateTextureMatrix(); };
  IndexName();  // last: a constructor that fails leaves no count behind
}

TGLLibMaterial::~TGLLibMaterial() {
  try {
    UnindexName();
  } catch (...) {
    // A stale count only costs MakeUniqueName a skipped name.
  }
  try {
    SetShader(nullptr);
    SetTexture2Name("");
  } catch (...) {
    // Users are detached below whatever a notification did.
  }
  const std::vector<TObject*> users = users_;
  for (TObject* user : users) {
    if (user->Is<TGLMaterial>()) {
      static_cast<TGLMaterial*>(user)->DetachFromLibrary();
    } else if (user->Is<TGLLibMaterial>()) {
      auto* lm = static_cast<TGLLibMaterial*>(user);
      lm->libMatTexture2_ = nullptr;
      lm->texture2Name_.clear();
    }
  }
  users_.clear();
}

void TGLLibMaterial::Assign(TPersistent* Source) {
  if (!Source || !Source->Is<TGLLibMaterial>()) {
    inherited::Assign(Source);
    return;
  }
  auto* src = static_cast<TGLLibMaterial*>(Source);
  TGLLibMaterials* materials = LibMaterials();
  StoreName(materials ? materials->MakeUniqueName(src->name_) : src->name_);
  material_->Assign(src->material_.get());
  offset_->Assign(src->offset_.get());
  scale_->Assign(src->scale_.get());
  // The text is copied; a link resolved for the old name would apply the wrong texture.
  if (libMatTexture2_) {
    libMatTexture2_->UnregisterUser(this);
    libMatTexture2_ = nullptr;
  }
  texture2Name_ = src->texture2Name_;
  CalculateTextureMatrix();
}

void TGLLibMaterial::SetName(const std::string& v) {
  if (v == name_) return;
  TGLMaterialLibrary* library = MaterialLibrary();
  TGLLibMaterials* materials = LibMaterials();
  if ((library && library->ComponentState().Contains(csLoading)) || !materials || !materials->Taken(v))
    StoreName(v);
  else
    StoreName(materials->MakeUniqueName(v));
}

void TGLLibMaterial::StoreName(std::string v) {
  UnindexName();
  name_ = std::move(v);
  nameHashKey_ = LibMaterialNameHash(name_);
  IndexName();
}

void TGLLibMaterial::IndexName() {
  if (nameIndex_) return;
  TGLLibMaterials* materials = LibMaterials();
  if (!materials) return;
  materials->NameTaken(this);
  nameIndex_ = materials;
}

void TGLLibMaterial::UnindexName() {
  TGLLibMaterials* materials = nameIndex_;
  if (!materials) return;
  nameIndex_ = nullptr;
  materials->NameFreed(this);
}

void TGLLibMaterial::SetMaterial(TGLMaterial* v) { material_->Assign(v); }

void TGLLibMaterial::SetTextureOffset(TGLCoordinates* v) {
  offset_->Assign(v);
  CalculateTextureMatrix();
}

void TGLLibMaterial::SetTextureScale(TGLCoordinates* v) {
  scale_->Assign(v);
  CalculateTextureMatrix();
}

void TGLLibMaterial::SetTexture2Name(const std::string& v) {
  if (v == texture2Name_) return;
  if (libMatTexture2_) {
    libMatTexture2_->UnregisterUser(this);
    libMatTexture2_ = nullptr;
  }
  texture2Name_ = v;
  NotifyUsers();
}

void TGLLibMaterial::SetShader(TGLShader* v) {
  if (v == shader_) return;
  if (shader_) shader_->UnRegisterUser(this);
  shader_ = v;
  if (shader_) shader_->RegisterUser(this);
  NotifyUsers();
}

void TGLLibMaterial::CalculateTextureMatrix() {
  textureMatrixIsIdentity_ =
      offset_->EqualsVector(TVector4f{{0, 0, 0, 0}}) && scale_->EqualsVector(TVector4f{{1, 1, 1, 0}});
  textureMatrix_ = textureMatrixIsIdentity_ ? IdentityHmgMatrix
                                            : CreateScaleAndTranslationMatrix(scale_->AsVector(), offset_->AsVector());
  NotifyUsers();
}

TGLLibMaterials* TGLLibMaterial::LibMaterials() const {
  TCollection* c = Collection();
  return c && c->Is<TGLLibMaterials>() ? static_cast<TGLLibMaterials*>(c) : nullptr;
}

TGLMaterialLibrary* TGLLibMaterial::MaterialLibrary() const {
  TGLLibMaterials* materials = LibMaterials();
  return materials ? materials->Library() : nullptr;
}

void TGLLibMaterial::Apply(TRenderContextInfo& rci) {
  BeginMapTexCoordUpdate();
  TScopeExit closeBracket([] { EndMapTexCoordUpdate(); });
  passes_ = 0;
  TGLShader* before = nullptr;
  if (shader_ && shader_->ShaderStyle() == ssBeforeMaterial) {
    shader_->Apply(rci, this);
    before = shader_;
  } else if (shader_ && shader_->ShaderStyle() == ssReplaceMaterial) {
    shader_->Apply(rci, this);
    return;
  }
  // A failure further on undoes what was applied, so the next frame starts balanced.
  bool materialApplied = false;
  try {
    ApplyMaterial(rci, materialApplied);
    if (shader_ && shader_->ShaderStyle() == ssAfterMaterial) shader_->Apply(rci, this);
  } catch (...) {
    if (materialApplied) UnApplyMaterial(rci);
    texture2Applied_ = false;
    if (before) before->AbandonApplication(rci);
    throw;
  }
}

void TGLLibMaterial::ApplyMaterial(TRenderContextInfo& rci, bool& applied) {
  texture2Applied_ = false;
  bool probed = false;
  if (!texture2Name_.empty() && GLCaps.ARB_multitexture && !(probed = true, SecondTexCoordUnitSuppressedInBracket())) {
    if (!libMatTexture2_) {
      TGLLibMaterials* materials = LibMaterials();
      TGLLibMaterial* found = materials ? materials->FindMaterialByName(texture2Name_) : nullptr;
      if (found) {
        found->RegisterUser(this);
        libMatTexture2_ = found;
      } else {
        texture2Name_.clear();
      }
    }
    const TGLTexture* t2 = libMatTexture2_ ? libMatTexture2_->Material()->TextureIfAny() : nullptr;
    texture2Applied_ = t2 && t2->Enabled();
  }

  TGLTexture* own = material_->TextureIfAny();
  if (texture2Applied_) {
    if (!textureMatrixIsIdentity_) rci.GLStates->SetTextureMatrix(textureMatrix_.data());
    try {
      material_->Apply(rci);
    } catch (...) {
      if (!textureMatrixIsIdentity_) rci.GLStates->ResetTextureMatrix();
      throw;
    }
    applied = true;
    TGLTexture* t2 = libMatTexture2_->Material()->Texture();
    t2->ApplyAsTexture2(rci, libMatTexture2_);
    const bool t2Generates = t2->MappingMode() != tmmUser;
    if (!own || own->Disabled() || own->MappingMode() != tmmUser) {
      if (t2Generates)
        SetMapTexCoordModeMain();
      else
        SetMapTexCoordModeSecond();
    } else {
      if (t2Generates)
        SetMapTexCoordModeMain();
      else
        SetMapTexCoordModeDual();
    }
  } else {
    if (probed) SetMapTexCoordModeMain();  // the probe's pending request must not stand
    const bool matrix = own && own->Enabled() && !textureMatrixIsIdentity_;
    if (matrix) rci.GLStates->SetTextureMatrix(textureMatrix_.data());
    try {
      material_->Apply(rci);
    } catch (...) {
      if (matrix) rci.GLStates->ResetTextureMatrix();
      throw;
    }
    applied = true;
  }
}

bool TGLLibMaterial::UnApply(TRenderContextInfo& rci) {
  // A shader that keeps asking for passes is stopped after MaxMaterialPasses draws and left
  // inactive, so the next frame can apply it again.
  auto another = [&](bool again) {
    if (!again) return false;
    if (++passes_ < MaxMaterialPasses) return true;
    shader_->AbandonApplication(rci);
    return false;
  };
  bool result = false;
  if (shader_ && shader_->ShaderStyle() == ssAfterMaterial)
    result = another(shader_->UnApply(rci));
  else if (shader_ && shader_->ShaderStyle() == ssReplaceMaterial)
    return another(shader_->UnApply(rci));
  if (result) return true;
  UnApplyMaterial(rci);
  if (shader_ && shader_->ShaderStyle() == ssBeforeMaterial) return another(shader_->UnApply(rci));
  return result;
}

void TGLLibMaterial::UnApplyMaterial(TRenderContextInfo& rci) {
  if (texture2Applied_ && libMatTexture2_) {
    libMatTexture2_->Material()->Texture()->UnApplyAsTexture2(rci, libMatTexture2_);
    SetMapTexCoordModeMain();
  }
  texture2Applied_ = false;
  material_->UnApply(rci);
  const TGLTexture* own = material_->TextureIfAny();
  if (own && own->Enabled() && !textureMatrixIsIdentity_) rci.GLStates->ResetTextureMatrix();
}

void TGLLibMaterial::PrepareTexture() {
  TGLTexture* t = material_->TextureIfAny();
  if (t && t->Enabled()) t->GetTextureHandle();
}

void TGLLibMaterial::DestroyHandles() {
  material_->DestroyHandles();
  // One level only: the collection reaches every material anyway, and a chain of second
  // textures may loop.
  if (texture2Name_.empty()) return;
  TGLLibMaterials* materials = LibMaterials();
  TGLLibMaterial* second = materials ? materials->FindMaterialByName(texture2Name_) : nullptr;
  if (second && second != this) second->material_->DestroyHandles();
}

void TGLLibMaterial::RegisterUser(TObject* user) {
  RTL_ASSERT(std::find(users_.begin(), users_.end(), user) == users_.end());
  users_.push_back(user);
}

void TGLLibMaterial::UnregisterUser(TObject* user) {
  users_.erase(std::remove(users_.begin(), users_.end(), user), users_.end());
}

void TGLLibMaterial::NotifyUsers() {
  if (notifying_) return;
  notifying_ = true;
  TScopeExit reset([this] { notifying_ = false; });
  const std::vector<TObject*> users = users_;
  for (TObject* user : users) {
    if (user->Is<TGLUpdateAbleObject>())
      static_cast<TGLUpdateAbleObject*>(user)->NotifyChange(this);
    else if (user->Is<TGLUpdateAbleComponent>())
      static_cast<TGLUpdateAbleComponent*>(user)->NotifyChange(this);
    else if (user->Is<TGLLibMaterial>())
      static_cast<TGLLibMaterial*>(user)->NotifyUsers();
  }
}

void TGLLibMaterial::NotifyUsersOfTexMapChange() {
  if (notifying_) return;
  notifying_ = true;
  TScopeExit reset([this] { notifying_ = false; });
  const std::vector<TObject*> users = users_;
  for (TObject* user : users) {
    if (user->Is<TGLMaterial>())
      static_cast<TGLMaterial*>(user)->NotifyTexMapChange(this);
    else if (user->Is<TGLLibMaterial>())
      static_cast<TGLLibMaterial*>(user)->NotifyUsersOfTexMapChange();
    else if (user->Is<TGLUpdateAbleObject>())
      static_cast<TGLUpdateAbleObject*>(user)->NotifyChange(this);
    else if (user->Is<TGLUpdateAbleComponent>())
      static_cast<TGLUpdateAbleComponent*>(user)->NotifyChange(this);
  }
}

void TGLLibMaterial::Loaded() {
  CalculateTextureMatrix();
  if (TGLTextureEx* ex = material_->TextureExIfAny()) ex->Loaded();
}

void TGLLibMaterial::DoTextureNeeded(TObject* Sender, std::string& fileName) {
  if (TGLMaterialLibrary* library = MaterialLibrary()) library->DoTextureNeeded(Sender, fileName);
}

// ---- TGLLibMaterials ---------------------------------------------------------------------

TGLLibMaterials::TGLLibMaterials(TGLMaterialLibrary* AOwner)
    : TOwnedCollection(AOwner, TGLLibMaterial::StaticClass()), library_(AOwner) {}

TGLLibMaterials::~TGLLibMaterials() {
  // The items outlive this part of the collection: they must not report to the index.
  for (int i = 0; i < Count(); ++i)
    if (auto* lm = dynamic_cast<TGLLibMaterial*>(TCollection::Items(i))) lm->nameIndex_ = nullptr;
}

// Items moved in or out of the collection. An item being constructed or destroyed is not a
// TGLLibMaterial yet (or any more): its own constructor and destructor keep the index.
void TGLLibMaterials::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  if (auto* lm = dynamic_cast<TGLLibMaterial*>(Item)) {
    if (Action == cnAdded)
      lm->IndexName();
    else if (Action == cnExtracting)
      lm->UnindexName();
  }
  inherited::Notify(Item, Action);
}

void TGLLibMaterials::NameTaken(TGLLibMaterial* holder) { nameHolders_[holder->name_].push_back(holder); }

void TGLLibMaterials::NameFreed(TGLLibMaterial* holder) {
  const std::string& name = holder->name_;
  auto it = nameHolders_.find(name);
  if (it == nameHolders_.end()) return;
  // From the back: a collection is cleared last item first.
  std::vector<TGLLibMaterial*>& holders = it->second;
  const auto at = std::find(holders.rbegin(), holders.rend(), holder);
  if (at != holders.rend()) holders.erase(std::next(at).base());
  if (!holders.empty()) return;
  nameHolders_.erase(it);
  if (nameHolders_.empty()) {
    uniqueNameScans_.clear();
    return;
  }
  // The name is candidate i of every base it splits into before a decimal suffix as
  // MakeUniqueName writes it (no leading zero, an int). Candidate 0, the base itself, is always
  // tried first and needs no record.
  auto reopen = [this](const std::string& base, int i) {
    auto scan = uniqueNameScans_.find(base);
    if (scan != uniqueNameScans_.end() && i < scan->second.next) scan->second.holes.insert(i);
  };
  for (size_t k = name.size(); k > 0 && name.size() - (k - 1) <= 9 && name[k - 1] >= '0' && name[k - 1] <= '9'; --k)
    if (name[k - 1] != '0') reopen(name.substr(0, k - 1), std::stoi(name.substr(k - 1)));
}

bool TGLLibMaterials::Taken(const std::string& name) const {
  ++nameSteps_;
  return nameHolders_.find(name) != nameHolders_.end();
}

TGLLibMaterial* TGLLibMaterials::FindMaterialByName(const std::string& name) const {
  ++nameSteps_;
  const auto it = nameHolders_.find(name);
  if (it == nameHolders_.end()) return nullptr;
  if (it->second.size() == 1) return it->second.front();
  // Names stored as given while a form loads may repeat: the first holder in collection order.
  const uint32_t hash = LibMaterialNameHash(name);
  for (int i = 0; i < Count(); ++i) {
    ++nameSteps_;
    TGLLibMaterial* lm = Items(i);
    if (lm->NameHashKey() == hash && lm->Name() == name) return lm;
  }
  return nullptr;
}

std::string TGLLibMaterials::MakeUniqueName(const std::string& base) const {
  auto taken = [this](const std::string& name) { return Taken(name); };
  if (!taken(base)) return base;
  // The scan resumes where the last one for this base stopped, after the names freed since.
  auto candidate = [&base](int i) { return i == 0 ? base : base + std::to_string(i); };
  TUniqueNameScan& scan = uniqueNameScans_[base];
  while (!scan.holes.empty()) {
    std::string name = candidate(*scan.holes.begin());
    if (!taken(name)) return name;
    scan.holes.erase(scan.holes.begin());
  }
  std::string name = candidate(scan.next);
  while (taken(name)) name = candidate(++scan.next);
  return name;
}

void TGLLibMaterials::PrepareTextures() {
  for (int i = 0; i < Count(); ++i) Items(i)->PrepareTexture();
}

void TGLLibMaterials::DestroyHandles() {
  for (int i = 0; i < Count(); ++i) Items(i)->DestroyHandles();
}

void TGLLibMaterials::Loaded() {
  for (int i = 0; i < Count(); ++i) Items(i)->Loaded();
}

// ---- TGLMaterialLibrary ------------------------------------------------------------------

TGLMaterialLibrary::TGLMaterialLibrary(TComponent* AOwner)
    : TGLCadenceAbleComponent(AOwner), materials_(std::make_unique<TGLLibMaterials>(this)) {}

TGLMaterialLibrary::~TGLMaterialLibrary() {
  materials_.reset();  // library materials detach the materials linked to them
  const std::vector<TGLMaterial*> referring = referringMaterials_;
  referringMaterials_.clear();
  for (TGLMaterial* m : referring) {
    m->library_ = nullptr;
    m->currentLibMaterial_ = nullptr;
  }
}

void TGLMaterialLibrary::SetMaterials(TGLLibMaterials* v) { materials_->Assign(v); }

void TGLMaterialLibrary::SetTexturePaths(const std::string& v) {
  texturePathList_.clear();
  texturePaths_ = v;
  size_t start = 0;
  while (start <= v.size()) {
    size_t end = v.find(';', start);
    if (end == std::string::npos) end = v.size();
    std::string piece = Trim(std::string_view(v).substr(start, end - start));
    if (!piece.empty()) {
      if (piece.back() != '\\') piece += '\\';
      texturePathList_.push_back(piece);
    }
    start = end + 1;
  }
}

void TGLMaterialLibrary::Loaded() {
  materials_->Loaded();
  inherited::Loaded();
}

void TGLMaterialLibrary::DestroyTextureHandles() { materials_->DestroyHandles(); }

void TGLMaterialLibrary::DoTextureNeeded(TObject*, std::string& textureFileName) {
  if (OnTextureNeeded) OnTextureNeeded(this, textureFileName);
  // Names with a drive or starting at a root folder are never searched.
  if (textureFileName.find(':') != std::string::npos) return;
  if (!textureFileName.empty() && (textureFileName[0] == '\\' || textureFileName[0] == '/')) return;
  for (const std::string& folder : texturePathList_) {
    const std::string candidate = folder + textureFileName;
    if (FileStreamExists(candidate)) {
      textureFileName = candidate;
      return;
    }
  }
}

void TGLMaterialLibrary::AddReferringMaterial(TGLMaterial* material) {
  if (std::find(referringMaterials_.begin(), referringMaterials_.end(), material) == referringMaterials_.end())
    referringMaterials_.push_back(material);
}

void TGLMaterialLibrary::RemoveReferringMaterial(TGLMaterial* material) {
  referringMaterials_.erase(std::remove(referringMaterials_.begin(), referringMaterials_.end(), material),
                            referringMaterials_.end());
}

// ---- library stream ----------------------------------------------------------------------

namespace {

constexpr int LibraryStreamVersion = 2;
// A picture the budget admits is one the picture reader decodes.
static_assert(uint64_t(MaxLibraryLoadTexels) * 4 <= MaxPictureBytes);

void WriteRGB(TBinaryWriter& w, const TGLColor* c) { w.Write(c->GetColorPtr(), 12); }
void WriteRGBA(TBinaryWriter& w, const TGLColor* c) { w.Write(c->GetColorPtr(), 16); }

void WriteFace(TBinaryWriter& w, const TGLFaceProperties& f) {
  WriteRGB(w, f.Ambient());
  WriteRGBA(w, f.Diffuse());
  WriteRGB(w, f.Emission());
  WriteRGB(w, f.Specular());
  const uint8_t shininess = f.Shininess();
  w.Write(&shininess, 1);
  w.WriteInteger(f.PolygonMode());
}

// A texture's picture as complete BMP bytes (none: no picture), and whether the texture is off.
// A texture without a picture whose on state or image kind the default would lose (on, or a
// blank, float-data or cube-map image) has its kind and settings encoded in `kept`.
struct TTexturePicture {
  std::optional<std::string> bytes;
  bool off = false;
  std::optional<std::string> kept;
};

// The pictures a save writes, counted as the reader counts them, each before it is encoded: what
// the reader would refuse is not written.
struct TPictureBudget {
  int64_t left = MaxLibraryLoadTexels;
  void Take(const TGraphic* graphic) {
    if (!graphic || graphic->Empty()) return;
    const int64_t texels = int64_t(graphic->Width()) * graphic->Height();
    if (texels > left)
      throw ETexture(Format("The pictures of this library pass the %.0n texels (%d MB) a library file reads",
                            MaxLibraryLoadTexels, int(MaxLibraryLoadTexels * 4 >> 20)));
    left -= texels;
  }
};

// A bitmap's picture as complete BMP bytes; none when it holds nothing.
std::optional<std::string> BmpBytes(const TGraphic* graphic) {
  if (!graphic || graphic->Empty()) return std::nullopt;
  TBitmap bmp;  // a 32-bit bitmap stays 32-bit, with its alpha
  bmp.Assign(const_cast<TGraphic*>(graphic));
  const std::vector<uint8_t> bytes = bmp.SaveToBytes();
  return std::string(bytes.begin(), bytes.end());
}

// A side of a blank or float-data image the reader takes: what its setters store (1 to
// MaxBlankImageSide) and 0, which its text file may give.
bool KeptSizeReadable(int side) { return side >= 0 && side <= MaxBlankImageSide; }

void WritePicture(TBinaryWriter& w, const std::optional<std::string>& bytes) {
  w.WriteBoolean(bytes.has_value());
  if (bytes) w.WriteString(*bytes);
}

// The kind and settings of a texture image without a picture of its own: its class name, then
// Width and Height (blank and float-data images) or the six faces (cube maps, each as a
// picture record). An image of another class cannot be kept: the save says so.
std::string KeptImage(const std::string& material, TGLTextureImage* image, TPictureBudget& budget) {
  TStringStream s;
  TBinaryWriter w(&s);
  // A picture image without a picture (a picture file's name is not kept) reads back as a
  // persistent one.
  w.WriteString(image->Is<TGLPictureImage>() ? TGLPersistentImage::StaticClass()->Name : image->ClassName());
  auto writeSize = [&](int width, int height) {
    if (!KeptSizeReadable(width) || !KeptSizeReadable(height))  // what the reader would refuse
      throw ETexture(Format("Material '%s': a texture image of %d x %d cannot be kept in a library file", material,
                            width, height));
    w.WriteInteger(width);
    w.WriteInteger(height);
  };
  if (auto* blank = dynamic_cast<TGLBlankImage*>(image)) {
    writeSize(blank->Width(), blank->Height());
  } else if (auto* data = dynamic_cast<TGLFloatDataImage*>(image)) {
    writeSize(data->Width(), data->Height());
  } else if (auto* cube = dynamic_cast<TGLCubeMapImage*>(image)) {
    for (int i = 0; i < 6; ++i) {
      const TGraphic* face = cube->Picture(TGLCubeMapTarget(i))->Graphic();
      budget.Take(face);
      WritePicture(w, BmpBytes(face));
    }
  } else if (!image->Is<TGLPictureImage>()) {
    throw ETexture(Format("Material '%s': a texture image of class %s cannot be kept in a library file", material,
                          image->ClassName()));
  }
  return s.DataString();
}

// The picture of a picture image, enabled or not: the one held (made again when it was let go
// after an upload), else the one a picture-file image names, read now (a missing file raises).
TTexturePicture TexturePicture(const std::string& material, TGLTexture* t, TPictureBudget& budget) {
  if (!t) return {};
  TTexturePicture result;
  if (t->Image()->Is<TGLPictureImage>()) {
    auto* image = static_cast<TGLPictureImage*>(t->Image());
    const TGraphic* graphic = image->Picture()->Graphic();
    std::unique_ptr<TGraphic> read;
    if ((!graphic || graphic->Empty()) && image->Is<TGLPicFileImage>()) {
      try {
        // One that is on saves the picture it shows, or says why it cannot (its file missing, or
        // changed since it was read); a switched-off one takes its file as it is now.
        read = static_cast<TGLPicFileImage*>(image)->LoadPicture(t->Disabled());
      } catch (const ETexture&) {
        // A switched-off texture whose picture file is missing or unreadable is kept off, without a
        // picture (as it reads back anyway); one that is on would lose what it shows.
        if (t->Enabled()) throw;
      }
      graphic = read.get();
    }
    budget.Take(graphic);
    result.bytes = BmpBytes(graphic);
  }
  result.off = t->Disabled();
  // A switched-off persistent image without a picture is what a texture reads back as anyway.
  if (!result.bytes && (t->Enabled() || !t->Image()->Is<TGLPictureImage>()))
    result.kept = KeptImage(material, t->Image(), budget);
  return result;
}

// A texture read with its picture is switched on, unless this bit of its byte after the options
// says it was off (the material's texture first, then its extra units). Streams without those
// bytes, as all were before, switch every texture with a picture on.
constexpr uint8_t TextureOffFlag = 1;
// A texture without a picture whose byte has this bit is on or off by TextureOffFlag and has its
// image kind kept: the records of such textures follow their bytes, in texture order (readers
// that know only TextureOffFlag take no notice of either).
constexpr uint8_t TextureKeptFlag = 2;

// One face as read; the 12-byte colours leave alpha alone.
struct TFaceRecord {
  float ambient[3], diffuse[4], emission[3], specular[3];
  uint8_t shininess = 0;
  int polygonMode = 0;
};

// A record's picture: its bytes as read, checked and counted by the size they claim; decoded only
// once the whole stream has been read and counted.
struct TPictureRecord {
  std::string bytes;  // empty: no picture
  std::unique_ptr<TBitmap> bitmap;
};

// A texture image kept without a picture (see KeptImage).
struct TKeptImageRecord {
  std::string className;
  int width = 0, height = 0;
  TPictureRecord faces[6];
};

struct TExtraUnitRecord {
  TPictureRecord picture;
  int textureIndex = 0;
  float offset[3], scale[3];
};

struct TLibMaterialRecord {
  std::string name;
  TPictureRecord picture;
  TFaceRecord front, back;
  int blendingMode = 0;
  uint8_t options = 0;
  float offset[3], scale[3];
  std::string texture2Name;
  std::vector<TExtraUnitRecord> units;
  std::vector<uint8_t> textureFlags;                  // the material's texture, then its units
  std::vector<std::optional<TKeptImageRecord>> kept;  // by texture, as textureFlags

  bool TextureOff(size_t texture) const {
    return texture < textureFlags.size() && (textureFlags[texture] & TextureOffFlag) != 0;
  }
};

[[noreturn]] void RefusePicture(const std::string& material, const std::string& why) {
  throw EReadError(Format("Picture of material '%s' refused: %s", material, why));
}

// A picture of the record of `material`, counted against the texels left to the load by the size
// its header claims; nothing is decoded.
TPictureRecord ReadPicture(TBinaryReader& r, const std::string& material, int64_t& texelsLeft) {
  TPictureRecord picture;
  if (!r.ReadBoolean()) return picture;
  picture.bytes = r.ReadString();
  TSize size;
  try {
    size = TBitmap::CheckedSize(reinterpret_cast<const uint8_t*>(picture.bytes.data()), picture.bytes.size());
  } catch (const EInvalidGraphic& e) {
    RefusePicture(material, e.Message());
  }
  const int64_t texels = int64_t(size.cx) * size.cy;
  if (texels > texelsLeft)
    RefusePicture(material, Format("with its %d x %d texels the pictures of this library load would pass %.0n "
                                   "texels (%d MB)",
                                   size.cx, size.cy, MaxLibraryLoadTexels, MaxLibraryLoadTexels * 4 >> 20));
  texelsLeft -= texels;
  return picture;
}

void DecodePicture(TPictureRecord& picture, const std::string& material) {
  if (picture.bytes.empty()) return;
  auto bitmap = std::make_unique<TBitmap>();
  try {
    bitmap->LoadFromBytes(reinterpret_cast<const uint8_t*>(picture.bytes.data()), picture.bytes.size());
  } catch (const EInvalidGraphic& e) {
    RefusePicture(material, e.Message());
  }
  picture.bitmap = std::move(bitmap);
  picture.bytes.clear();
  picture.bytes.shrink_to_fit();
}

int ReadRange(TBinaryReader& r, int maxValue, const char* what) {
  const int v = r.ReadInteger();
  if (v < 0 || v > maxValue) throw EReadError(Format("Invalid %s %d", what, v));
  return v;
}

// The kept image records of a material's textures (the material's texture and `units` extra
// units), from the bytes after the texture bytes of its options; counted against the texels
// left to the load.
void ReadKeptImages(TLibMaterialRecord& rec, size_t units, int64_t& texelsLeft) {
  const size_t textures = units + 1;
  bool any = false;
  for (size_t k = 0; k < std::min(textures, rec.textureFlags.size()); ++k)
    any = any || (rec.textureFlags[k] & TextureKeptFlag) != 0;
  if (!any) return;
  TStringStream s(rec.textureFlags.size() > textures
                      ? std::string(rec.textureFlags.begin() + std::ptrdiff_t(textures), rec.textureFlags.end())
                      : std::string());
  TBinaryReader r(&s);
  rec.kept.resize(textures);
  try {
    for (size_t k = 0; k < std::min(textures, rec.textureFlags.size()); ++k) {
      if ((rec.textureFlags[k] & TextureKeptFlag) == 0) continue;
      TKeptImageRecord kept;
      kept.className = r.ReadString();
      if (kept.className == TGLBlankImage::StaticClass()->Name ||
          kept.className == TGLFloatDataImage::StaticClass()->Name) {
        kept.width = r.ReadInteger();
        kept.height = r.ReadInteger();
        // Sizes only: such an image holds no pixels until it is used, so it takes nothing from the
        // pictures' budget; any size its setters or its text file give is read.
        if (!KeptSizeReadable(kept.width) || !KeptSizeReadable(kept.height))
          throw EReadError(Format("Invalid image size %d x %d", kept.width, kept.height));
      } else if (kept.className == TGLCubeMapImage::StaticClass()->Name) {
        for (TPictureRecord& face : kept.faces) face = ReadPicture(r, rec.name, texelsLeft);
      } else if (kept.className != TGLPersistentImage::StaticClass()->Name) {
        throw EReadError(Format("Unknown texture image class '%s'", kept.className));
      }
      rec.kept[k] = std::move(kept);
    }
    if (s.Position() != s.Size()) throw EReadError("Unexpected bytes after the texture records");
  } catch (const EReadError& e) {
    // A damaged record, named with its material.
    if (e.Message().rfind("Picture of material", 0) == 0) throw;
    throw EReadError(Format("Texture of material '%s' refused: %s", rec.name, e.Message()));
  }
}

void DecodeKept(TLibMaterialRecord& rec) {
  for (auto& kept : rec.kept)
    if (kept)
      for (TPictureRecord& face : kept->faces) DecodePicture(face, rec.name);
}

// Gives a texture the image kind, settings and on state kept for it.
void ApplyKept(TGLTexture* t, TKeptImageRecord& kept, bool off) {
  t->SetImageClassName(kept.className);
  if (auto* blank = dynamic_cast<TGLBlankImage*>(t->Image())) {
    blank->SetWidth(kept.width);
    blank->SetHeight(kept.height);
  } else if (auto* data = dynamic_cast<TGLFloatDataImage*>(t->Image())) {
    data->SetWidth(kept.width);
    data->SetHeight(kept.height);
  } else if (auto* cube = dynamic_cast<TGLCubeMapImage*>(t->Image())) {
    for (int i = 0; i < 6; ++i)
      if (kept.faces[i].bitmap) cube->Picture(TGLCubeMapTarget(i))->TakeGraphic(std::move(kept.faces[i].bitmap));
  }
  t->SetDisabled(off);
}

void ReadColors(TBinaryReader& r, TFaceRecord& f) {
  r.Read(f.ambient, 12);
  r.Read(f.diffuse, 16);
  r.Read(f.emission, 12);
  r.Read(f.specular, 12);
}

void ReadFaceRest(TBinaryReader& r, TFaceRecord& f) {
  r.Read(&f.shininess, 1);
  f.polygonMode = ReadRange(r, pmPoints, "polygon mode");
}

void StoreRGB(TGLColor* c, const float rgb[3]) { c->StoreColor(TVector4f{{rgb[0], rgb[1], rgb[2], c->Alpha()}}); }

void StoreColors(TGLFaceProperties* face, const TFaceRecord& f) {
  StoreRGB(face->Ambient(), f.ambient);
  face->Diffuse()->StoreColor(TVector4f{{f.diffuse[0], f.diffuse[1], f.diffuse[2], f.diffuse[3]}});
  StoreRGB(face->Emission(), f.emission);
  StoreRGB(face->Specular(), f.specular);
}

void StoreFaceRest(TGLFaceProperties* face, const TFaceRecord& f) {
  face->StoreShininess(f.shininess);
  face->SetPolygonMode(TPolygonMode(f.polygonMode));
}

void StoreXYZ(TGLCoordinates* c, const float xyz[3]) { c->StoreVector(TVector4f{{xyz[0], xyz[1], xyz[2], c->W()}}); }

}  // namespace

void TGLMaterialLibrary::SaveToStream(TStream* stream) {
  // Every picture first: a picture file that cannot be read fails the save before a byte is written.
  std::vector<std::vector<TTexturePicture>> pictures(size_t(materials_->Count()));
  TPictureBudget budget;
  for (int i = 0; i < materials_->Count(); ++i) {
    TGLMaterial* m = materials_->Items(i)->Material();
    const std::string& name = materials_->Items(i)->Name();
    pictures[size_t(i)].push_back(TexturePicture(name, m->TextureIfAny(), budget));
    if (TGLTextureEx* ex = m->TextureExIfAny())
      for (int k = 0; k < ex->Count(); ++k)
        pictures[size_t(i)].push_back(TexturePicture(name, ex->Items(k)->Texture(), budget));
  }
  TBinaryWriter w(stream);
  w.WriteInteger(LibraryStreamVersion);
  w.WriteInteger(materials_->Count());
  for (int i = 0; i < materials_->Count(); ++i) {
    TGLLibMaterial* lm = materials_->Items(i);
    TGLMaterial* m = lm->Material();
    const std::vector<TTexturePicture>& textures = pictures[size_t(i)];
    w.WriteString(lm->Name());
    WritePicture(w, textures[0].bytes);
    WriteFace(w, *m->FrontProperties());
    WriteFace(w, m->BackPropertiesIfAny() ? *m->BackPropertiesIfAny() : DefaultFaceProperties());
    w.WriteInteger(m->BlendingMode());
    std::string options(1, char(m->MaterialOptions().Bits()));
    // The texture bytes only when a texture with a picture is off or a texture has its image
    // kept: other streams stay as they were.
    if (std::any_of(textures.begin(), textures.end(),
                    [](const TTexturePicture& t) { return (t.bytes && t.off) || t.kept; })) {
      for (const TTexturePicture& t : textures)
        options += char(t.kept             ? TextureKeptFlag | (t.off ? TextureOffFlag : 0)
                        : t.bytes && t.off ? TextureOffFlag
                                           : 0);
      for (const TTexturePicture& t : textures)
        if (t.kept) options += *t.kept;
    }
    w.WriteInteger(int(options.size()));
    w.Write(options.data(), int(options.size()));
    w.Write(lm->TextureOffset()->AsVector().data(), 12);
    w.Write(lm->TextureScale()->AsVector().data(), 12);
    w.WriteString(lm->Texture2Name());
    const TGLTextureEx* ex = m->TextureExIfAny();
    const int units = ex ? ex->Count() : 0;
    w.WriteInteger(units);
    for (int k = 0; k < units; ++k) {
      const TGLTextureExItem* item = ex->Items(k);
      WritePicture(w, textures[size_t(k) + 1].bytes);
      w.WriteInteger(item->TextureIndex());
      w.Write(item->TextureOffset()->AsVector().data(), 12);
      w.Write(item->TextureScale()->AsVector().data(), 12);
    }
  }
}

void TGLMaterialLibrary::LoadFromStream(TStream* stream) {
  TBinaryReader r(stream);
  const int version = r.ReadInteger();
  if (version < 0 || version > LibraryStreamVersion) TPersistentObject::RaiseArchiveVersionError(ClassType(), version);
  // Everything is read and decoded first, so that a damaged stream changes nothing.
  const int count = r.ReadInteger();
  if (count < 0) throw EReadError(Format("Invalid material count %d", count));
  std::vector<TLibMaterialRecord> records;
  int64_t texelsLeft = MaxLibraryLoadTexels;
  for (int i = 0; i < count; ++i) {
    TLibMaterialRecord rec;
    rec.name = r.ReadString();
    rec.picture = ReadPicture(r, rec.name, texelsLeft);
    ReadColors(r, rec.front);
    if (version >= 1) {
      ReadFaceRest(r, rec.front);
      ReadColors(r, rec.back);
      ReadFaceRest(r, rec.back);
      rec.blendingMode = ReadRange(r, bmModulate, "blending mode");
      const int n = r.ReadInteger();
      if (n < 0) throw EReadError(Format("Invalid options size %d", n));
      // The options are one byte; the texture bytes may follow.
      ValueEncoding::NeedBytes(*stream, n);
      if (n > 0) {
        r.Read(&rec.options, 1);
        rec.options &= 3;
        rec.textureFlags.resize(size_t(n - 1));
        if (n > 1) r.Read(rec.textureFlags.data(), n - 1);
      }
      r.Read(rec.offset, 12);
      r.Read(rec.scale, 12);
      rec.texture2Name = r.ReadString();
    }
    if (version >= 2) {
      const int units = r.ReadInteger();
      if (units < 0) throw EReadError(Format("Invalid texture unit count %d", units));
      for (int k = 0; k < units; ++k) {
        TExtraUnitRecord unit;
        unit.picture = ReadPicture(r, rec.name, texelsLeft);
        unit.textureIndex = r.ReadInteger();
        r.Read(unit.offset, 12);
        r.Read(unit.scale, 12);
        rec.units.push_back(std::move(unit));
      }
    }
    ReadKeptImages(rec, rec.units.size(), texelsLeft);
    records.push_back(std::move(rec));
  }
  // Decoded only now: a stream refused further on, or past the budget, decodes nothing.
  for (auto& rec : records) {
    DecodePicture(rec.picture, rec.name);
    for (auto& unit : rec.units) DecodePicture(unit.picture, rec.name);
    DecodeKept(rec);
  }

  if (!mergeOnLoad_) materials_->Clear();
  // One table for the names of the load, not a series of ever larger ones.
  materials_->nameHolders_.reserve(size_t(materials_->Count()) + records.size());
  for (auto& rec : records) {
    TGLLibMaterial* lm = mergeOnLoad_ ? materials_->FindMaterialByName(rec.name) : nullptr;
    // A new material with a texture gets the filters and mode a loaded texture has.
    auto addTextured = [this, &rec]() {
      TGLLibMaterial* added = materials_->Add();
      added->SetName(rec.name);
      TGLTexture* t = added->Material()->Texture();
      t->SetMinFilter(miLinearMipmapLinear);
      t->SetMagFilter(maLinear);
      t->SetTextureMode(tmModulate);
      return added;
    };
    if (TBitmap* picture = rec.picture.bitmap.get()) {
      if (lm) {
        lm->Material()->Texture()->Image()->Assign(picture);
        if (rec.TextureOff(0)) lm->Material()->Texture()->SetDisabled(true);
      } else {
        lm = addTextured();
        lm->Material()->Texture()->SetDisabled(rec.TextureOff(0));
        lm->Material()->Texture()->Image()->Assign(picture);
      }
    } else if (TKeptImageRecord* kept = rec.kept.empty() || !rec.kept[0] ? nullptr : &*rec.kept[0]) {
      if (!lm) lm = addTextured();
      ApplyKept(lm->Material()->Texture(), *kept, rec.TextureOff(0));
    } else if (!lm) {
      lm = materials_->Add();
      lm->SetName(rec.name);
    }
    TGLMaterial* m = lm->Material();
    StoreColors(m->FrontProperties(), rec.front);
    if (version >= 1) {
      StoreFaceRest(m->FrontProperties(), rec.front);
      StoreColors(m->BackProperties(), rec.back);
      StoreFaceRest(m->BackProperties(), rec.back);
      m->SetBlendingMode(TBlendingMode(rec.blendingMode));
      m->SetMaterialOptions(TMaterialOptions::FromBits(rec.options));
      StoreXYZ(lm->TextureOffset(), rec.offset);
      StoreXYZ(lm->TextureScale(), rec.scale);
      lm->SetTexture2Name(rec.texture2Name);
    }
    for (size_t k = 0; k < rec.units.size(); ++k) {
      TExtraUnitRecord& unit = rec.units[k];
      TGLTextureExItem* item = m->TextureEx()->Add();
      if (TBitmap* picture = unit.picture.bitmap.get()) {
        item->Texture()->Image()->Assign(picture);
        item->Texture()->SetDisabled(rec.TextureOff(k + 1));
      } else if (k + 1 < rec.kept.size() && rec.kept[k + 1]) {
        ApplyKept(item->Texture(), *rec.kept[k + 1], rec.TextureOff(k + 1));
      }
      item->SetTextureIndex(unit.textureIndex);
      StoreXYZ(item->TextureOffset(), unit.offset);
      StoreXYZ(item->TextureScale(), unit.scale);
    }
  }
  // Offsets and scales were stored directly: the matrices follow them now.
  materials_->Loaded();
}

// ---- registration ------------------------------------------------------------------------

void RegisterGLMaterialClasses() {
  RegisterClasses({TGLMaterial::StaticClass(), TGLLibMaterial::StaticClass(), TGLLibMaterials::StaticClass(),
                   TGLMaterialLibrary::StaticClass()});
  TPublished<TGLMaterial>()
      .Object("FrontProperties", &TGLMaterial::FrontProperties)
      .StoredIf([](TGLMaterial* m) { return !m->LibMaterial(); })
      .Object("BackProperties", &TGLMaterial::BackProperties)
      .StoredIf([](TGLMaterial* m) { return !m->LibMaterial() && m->BackPropertiesIfAny(); })
      .Enum("BlendingMode", &TGLMaterial::BlendingMode, &TGLMaterial::SetBlendingMode,
            {"bmOpaque", "bmTransparency", "bmAdditive", "bmAlphaTest50", "bmAlphaTest100", "bmModulate"}, bmOpaque)
      .StoredIf([](TGLMaterial* m) { return !m->LibMaterial(); })
      .Object("Texture", &TGLMaterial::Texture)
      .StoredIf([](TGLMaterial* m) { return !m->LibMaterial() && m->TextureIfAny(); })
      .Object("TextureEx", &TGLMaterial::TextureEx)
      .StoredIf([](TGLMaterial* m) { return m->TextureExIfAny() && m->TextureExIfAny()->Count() > 0; })
      .Component("MaterialLibrary", &TGLMaterial::MaterialLibrary, &TGLMaterial::SetMaterialLibrary)
      .String("LibMaterialName", &TGLMaterial::LibMaterialName, &TGLMaterial::SetLibMaterialName)
      .Set(
          "MaterialOptions", [](TGLMaterial* m) { return m->MaterialOptions().Bits(); },
          [](TGLMaterial* m, uint64_t bits) { m->SetMaterialOptions(TMaterialOptions::FromBits(bits)); },
          {"moIgnoreFog", "moNoLighting"}, 0)
      .Enum("FaceCulling", &TGLMaterial::FaceCulling, &TGLMaterial::SetFaceCulling,
            {"fcBufferDefault", "fcCull", "fcNoCull"}, fcBufferDefault);
  TPublished<TGLLibMaterial>()
      .String("Name", &TGLLibMaterial::Name, &TGLLibMaterial::SetName, std::nullopt)
      .Object("Material", &TGLLibMaterial::Material)
      .Integer("Tag", &TGLLibMaterial::Tag, &TGLLibMaterial::SetTag, 0)
      .Object("TextureOffset", &TGLLibMaterial::TextureOffset)
      .Object("TextureScale", &TGLLibMaterial::TextureScale)
      .String("Texture2Name", &TGLLibMaterial::Texture2Name, &TGLLibMaterial::SetTexture2Name)
      .Component("Shader", &TGLLibMaterial::Shader, &TGLLibMaterial::SetShader);
  TPublished<TGLShader>().Boolean("Enabled", &TGLShader::Enabled, &TGLShader::SetEnabled, true);
  TPublished<TGLMaterialLibrary>()
      .Object("Materials", &TGLMaterialLibrary::Materials)
      .StoredIf([](TGLMaterialLibrary* l) { return l->Materials()->Count() > 0; })
      .String("TexturePaths", &TGLMaterialLibrary::TexturePaths, &TGLMaterialLibrary::SetTexturePaths);
}
