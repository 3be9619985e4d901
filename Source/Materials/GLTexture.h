// Texture images and textures.
//
// A TGLTexture holds the settings of one OpenGL texture object and creates and fills it lazily
// (GetTextureHandle) on first use and again after any change. Its pixels come from an owned
// texture image (TGLTextureImage and descendants), which hands them over as a TGLBitmap32.
// Image classes are registered by class name so that a texture can switch its image class
// from a stored name; picture loaders are registered by lower-cased file extension.
//
// Every GL call goes through the entry-point table and state changes through the render
// context's TGLStateCache. GL operations need the scene's context current; everything else is
// plain memory. Rendering (GUI) thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorTypes.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Materials/GLGraphics.h"
#include "Source/Scene/GLMisc.h"
#include "platform/Graphics.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

struct TRenderContextInfo;
class TGLStateCache;
class TGLTexture;
class TGLLibMaterial;
class TGLMaterial;

RTL_DECLARE_EXCEPTION(ETexture, Exception);

// The handler may rewrite the file name (a library's texture-path search does).
using TTextureNeededEvent = std::function<void(TObject* Sender, std::string& textureFileName)>;

// ---------------------------------------------------------------------------------------------
// Texture images.

// Abstract source of a texture's pixels. The owner is a TGLTexture or nothing (any other owner
// raises EInvalidCast). The image owns the bitmap it last built until ReleaseBitmap32.
class TGLTextureImage : public TGLUpdateAbleObject {
  RTL_CLASS(TGLTextureImage, TGLUpdateAbleObject)
 public:
  explicit TGLTextureImage(TPersistent* AOwner);
  ~TGLTextureImage() override;

  TGLTexture* OwnerTexture() const noexcept { return ownerTexture_; }

  virtual int GetHeight() = 0;
  virtual int GetWidth() = 0;
  virtual std::string FriendlyName() const = 0;
  virtual std::string FriendlyDescription() const { return FriendlyName(); }
  virtual GLenum NativeTextureTarget() const { return GL_TEXTURE_2D; }
  // The cached bitmap, built first when absent; may be nullptr for an image without pixels.
  virtual TGLBitmap32* GetBitmap32(GLenum target);
  virtual void ReleaseBitmap32();
  // Called once the owner texture holds the pixels: an image that can make
  // its source again lets it go (the base keeps it).
  virtual void ReleaseSourceAfterUpload() {}
  virtual void SaveToFile(const std::string& fileName) = 0;
  // The base only calls OnTextureNeeded (which may rewrite the name).
  virtual void LoadFromFile(const std::string& fileName);
  // Releases the bitmap, marks the owner texture's image changed and notifies it.
  virtual void Invalidate();
  // Marks the owner texture's image changed and notifies the texture.
  void NotifyChange(TObject* Sender) override;

  TTextureNeededEvent OnTextureNeeded;

 protected:
  void DoTextureNeeded(std::string& fileName);
  std::unique_ptr<TGLBitmap32> bitmap_;

 private:
  TGLTexture* ownerTexture_ = nullptr;
};

// Largest side of a blank or float-data image (the setters clamp to 1..this, a text file read
// may give 0); keeps the bitmap well inside 32-bit sizes.
inline constexpr int MaxBlankImageSide = 16384;

// Width x Height of zero-filled pixels (TGLBlankImage: 2D; TGLFloatDataImage: rectangle target).
// Text file: "[BlankImage]" CR LF "Width=<w>" CR LF "Height=<h>".
class TGLBlankImage : public TGLTextureImage {
  RTL_CLASS(TGLBlankImage, TGLTextureImage)
 public:
  explicit TGLBlankImage(TPersistent* AOwner);
  int Width() const noexcept { return width_; }
  int Height() const noexcept { return height_; }
  // On change: stored, raised to 1 when below 1, then Invalidate.
  void SetWidth(int v);
  void SetHeight(int v);
  int GetWidth() override { return width_; }
  int GetHeight() override { return height_; }
  std::string FriendlyName() const override { return "Blank Image"; }
  std::string FriendlyDescription() const override;
  TGLBitmap32* GetBitmap32(GLenum target) override;
  void Assign(TPersistent* Source) override;
  void SaveToFile(const std::string& fileName) override;
  // "Could not open file: %s" (ETexture) when the file is missing.
  void LoadFromFile(const std::string& fileName) override;

 protected:
  virtual const char* TagLine() const { return "[BlankImage]"; }

 private:
  int width_ = 256, height_ = 256;
};

class TGLFloatDataImage : public TGLTextureImage {
  RTL_CLASS(TGLFloatDataImage, TGLTextureImage)
 public:
  explicit TGLFloatDataImage(TPersistent* AOwner);
  int Width() const noexcept { return width_; }
  int Height() const noexcept { return height_; }
  void SetWidth(int v);
  void SetHeight(int v);
  int GetWidth() override { return width_; }
  int GetHeight() override { return height_; }
  std::string FriendlyName() const override { return "FloatData Image"; }
  std::string FriendlyDescription() const override { return "Image to be dynamically generated by OpenGL"; }
  GLenum NativeTextureTarget() const override;
  TGLBitmap32* GetBitmap32(GLenum target) override;
  void Assign(TPersistent* Source) override;
  void SaveToFile(const std::string& fileName) override;
  void LoadFromFile(const std::string& fileName) override;

 private:
  int width_ = 256, height_ = 256;
};

// Base of the images that hold a TPicture (created on first access; its changes invalidate).
class TGLPictureImage : public TGLTextureImage {
  RTL_CLASS(TGLPictureImage, TGLTextureImage)
 public:
  explicit TGLPictureImage(TPersistent* AOwner);
  ~TGLPictureImage() override;

  // A picture let go after an upload is made again first.
  TPicture* Picture();
  TPicture* PictureIfAny() const noexcept { return picture_.get(); }
  void SetPicture(TPicture* v);

  // Draws or reads the picture again (into an empty picture); when it throws,
  // the picture stays empty and the error goes to the caller.
  using TPictureRemake = std::function<void(TPicture& picture)>;
  // With a remake, the picture is let go once its texture is uploaded and
  // made again when it is needed (a new upload after a lost context or a
  // changed setting, a read of the picture). Pictures that can be drawn or
  // loaded again then cost no memory while shown. nullptr: kept (default).
  void SetRemake(TPictureRemake remake);
  bool HasRemake() const noexcept { return static_cast<bool>(remake_); }
  void ReleaseSourceAfterUpload() override;

  int GetWidth() override;
  int GetHeight() override;
  // Filled from the picture's graphic; reading never invalidates.
  TGLBitmap32* GetBitmap32(GLenum target) override;
  // A TGLPersistentImage (its picture), a TGraphic, a TPicture or a TGLBitmap32; else inherited.
  // The new picture replaces a released one without remaking it.
  void Assign(TPersistent* Source) override;

 protected:
  // Runs f with the picture's change handler detached.
  void WithoutPictureHandler(const std::function<void()>& f);
  void BuildBitmapFromPicture();
  // The picture about to be replaced as a whole: a released one is not made again.
  TPicture* FreshPicture();
  bool PictureReleased() const noexcept { return released_; }

 private:
  // The picture object, created empty when absent (no remake).
  TPicture* PictureObject();
  std::unique_ptr<TPicture> picture_;
  TPictureRemake remake_;
  bool released_ = false;  // let go after an upload; remake_ makes it again
  int releasedWidth_ = 0, releasedHeight_ = 0;
};

// The picture is kept in memory and streamed with its owner.
class TGLPersistentImage : public TGLPictureImage {
  RTL_CLASS(TGLPersistentImage, TGLPictureImage)
 public:
  explicit TGLPersistentImage(TPersistent* AOwner);
  std::string FriendlyName() const override { return "Persistent Image"; }
  std::string FriendlyDescription() const override;
  // Missing or unreadable file: the picture is emptied and ETexture "Could not open file: %s".
  void LoadFromFile(const std::string& fileName) override;
  void SaveToFile(const std::string& fileName) override;
  // The picture's graphic stored as the binary property "PictureData".
  void DefineProperties(TFiler* Filer) override;
};

// Read-only handles that shown picture files may keep, all images together: an eighth of the
// process's descriptor limit (RLIMIT_NOFILE as it is now), at most 256, so that the rest of the
// program (sockets, logs, saves) keeps its room. Past it a shown file keeps no handle.
int MaxShownFileHandles();

// The pixels come from a named file, loaded on demand; only the cached bitmap keeps them.
class TGLPicFileImage : public TGLPictureImage {
  RTL_CLASS(TGLPicFileImage, TGLPictureImage)
 public:
  explicit TGLPicFileImage(TPersistent* AOwner);
  std::string FriendlyName() const override { return "PicFile Image"; }
  std::string FriendlyDescription() const override { return "Image data is retrieved from a file."; }

  const std::string& PictureFileName() const noexcept { return pictureFileName_; }
  // On change: stored, the missing-file report re-armed, Invalidate.
  void SetPictureFileName(const std::string& v);

  // A missing or undecodable file raises "Could not open file: %s" once per name; later calls
  // give no pixels.
  TGLBitmap32* GetBitmap32(GLenum target) override;
  // The picture shown: the file as it was read to be shown, though it has been replaced or
  // removed since (a read-only handle on it is kept until the image is invalidated, not its
  // bytes: its memory is the file system's; see MaxShownFileHandles); without a handle, the file
  // read now when it is the one read then, unchanged. A file shown that changed since (written
  // over in place, or, without a handle, replaced or removed) raises ETexture "Picture file
  // changed since it was shown: <file> (<what changed>)", unless changedReadsNow: then the file
  // is read as it is now. A file never shown is read now (OnTextureNeeded may rewrite the name).
  // nullptr without a name. A file that is missing or undecodable when read raises "Could not
  // open file: %s".
  std::unique_ptr<TGraphic> LoadPicture(bool changedReadsNow = false);
  void Invalidate() override;
  // A text file holding only PictureFileName.
  void SaveToFile(const std::string& fileName) override;
  // A file under 512 bytes without NUL is a pointer file (its text, without a final line
  // break, becomes the name); any other file becomes the name itself.
  void LoadFromFile(const std::string& fileName) override;
  void Assign(TPersistent* Source) override;

 private:
  // The file last read to be shown: its name and extension (which picks the decoder), a
  // read-only handle on it (-1: none) and what it was then (device, inode, size, time, a hash of
  // its bytes), which tell whether it changed since.
  struct TShownFile {
    std::string name, ext;
    int handle = -1;
    bool identified = false;  // the fields below hold
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0, mtimeSec = 0, mtimeNsec = 0;
    std::size_t hash = 0;
    TShownFile() = default;
    TShownFile(TShownFile&& other) noexcept { *this = std::move(other); }
    TShownFile& operator=(TShownFile&& other) noexcept;
    ~TShownFile();
    // Its bytes, read through the handle or by name; nullopt (and what changed in `changed`) when
    // they are not those read (its time alone does not count). Only for an identified file.
    std::optional<std::string> Bytes(std::string& changed) const;
  };
  // The file's picture, nullptr when it is missing or cannot be decoded; with `shown`, the
  // file's bytes go there when it decodes.
  std::unique_ptr<TGraphic> ReadFile(TShownFile* shown);
  TShownFile shownFile_;
  std::string pictureFileName_;
  bool alreadyWarnedAboutMissingFile_ = false;
};

enum TGLCubeMapTarget : uint8_t { cmtPX, cmtNX, cmtPY, cmtNY, cmtPZ, cmtNZ };

// Six pictures, PX, NX, PY, NY, PZ, NZ.
// File: 16-bit little-endian version 256, then six complete BMP streams.
class TGLCubeMapImage : public TGLTextureImage {
  RTL_CLASS(TGLCubeMapImage, TGLTextureImage)
 public:
  explicit TGLCubeMapImage(TPersistent* AOwner);
  ~TGLCubeMapImage() override;
  std::string FriendlyName() const override { return "CubeMap Image"; }
  GLenum NativeTextureTarget() const override { return GL_TEXTURE_CUBE_MAP_ARB; }

  TPicture* Picture(TGLCubeMapTarget index) const noexcept { return pictures_[index].get(); }
  void SetPicture(TGLCubeMapTarget index, TPicture* v);
  TPicture* PicturePX() const noexcept { return Picture(cmtPX); }
  TPicture* PictureNX() const noexcept { return Picture(cmtNX); }
  TPicture* PicturePY() const noexcept { return Picture(cmtPY); }
  TPicture* PictureNY() const noexcept { return Picture(cmtNY); }
  TPicture* PicturePZ() const noexcept { return Picture(cmtPZ); }
  TPicture* PictureNZ() const noexcept { return Picture(cmtNZ); }

  int GetWidth() override;
  int GetHeight() override;
  // Always rebuilt from the face the target selects (PX for any non-face target), rows kept
  // in the picture's order.
  TGLBitmap32* GetBitmap32(GLenum target) override;
  void Assign(TPersistent* Source) override;
  void SaveToFile(const std::string& fileName) override;
  // A version word other than 256 is an assertion failure; bad bitmaps raise EInvalidGraphic.
  void LoadFromFile(const std::string& fileName) override;
  // The six pictures as binary properties "PicturePXData" ... "PictureNZData".
  void DefineProperties(TFiler* Filer) override;

 private:
  std::unique_ptr<TPicture> pictures_[6];
};

// Texture image classes, in registration order; lookup by exact class name (nullptr: none).
void RegisterTextureImageClass(TClass imageClass);
TClass FindTextureImageClass(const std::string& className);
std::vector<TClass> GetTextureImageClasses();

// Picture loaders by lower-cased extension with its dot (appended, no duplicate check).
void RegisterGraphicExtension(const std::string& extension, TGraphicClass graphicClass);
// A new graphic loaded from the file, nullptr when the file does not exist or no loader knows
// its extension. A file that exists but cannot be decoded raises EInvalidGraphic.
std::unique_ptr<TGraphic> LoadGraphicFromFile(const std::string& fileName);
// A new graphic decoded from a file's bytes by the loader of `extension` (lower-cased, with its
// dot); nullptr when none knows it. Bytes that cannot be decoded raise EInvalidGraphic.
std::unique_ptr<TGraphic> GraphicFromBytes(const std::string& extension, const std::string& bytes);

// A picture stored as a binary property: the graphic's class name (a length byte and the
// text), then the graphic's file bytes. Written only when `current` holds something; read into
// the picture `picture` hands out.
void DefinePictureProperty(TFiler* Filer, const std::string& name, const std::function<TPicture*()>& picture,
                           const TPicture* current);

// ---------------------------------------------------------------------------------------------
// Textures.

enum TGLTextureMode : uint8_t { tmDecal, tmModulate, tmBlend, tmReplace };
enum TGLTextureWrap : uint8_t { twBoth, twNone, twVertical, twHorizontal };
enum TGLTextureFormat : uint8_t {
  tfDefault,
  tfRGB,
  tfRGBA,
  tfRGB16,
  tfRGBA16,
  tfAlpha,
  tfLuminance,
  tfLuminanceAlpha,
  tfIntensity,
  tfNormalMap,
  tfRGBAFloat16,
  tfRGBAFloat32
};
enum TGLTextureImageAlpha : uint8_t {
  tiaDefault,
  tiaAlphaFromIntensity,
  tiaSuperBlackTransparent,
  tiaLuminance,
  tiaLuminanceSqrt,
  tiaOpaque,
  tiaTopLeftPointColorTransparent,
  tiaInverseLuminance,
  tiaInverseLuminanceSqrt
};
enum TGLTextureMappingMode : uint8_t {
  tmmUser,
  tmmObjectLinear,
  tmmEyeLinear,
  tmmSphere,
  tmmCubeMapReflection,
  tmmCubeMapNormal,
  tmmCubeMapLight0,
  tmmCubeMapCamera
};
enum TGLTextureCompression : uint8_t { tcDefault, tcNone, tcStandard, tcHighQuality, tcHighSpeed };
enum TGLTextureFilteringQuality : uint8_t { tfIsotropic, tfAnisotropic };

// Engine-wide defaults used for tfDefault and tcDefault.
inline TGLTextureFormat vDefaultTextureFormat = tfRGBA;
inline TGLTextureCompression vDefaultTextureCompression = tcNone;

// GL values of the lookup tables.
GLenum TextureModeToGL(TGLTextureMode mode);
GLenum MinFilterToGL(TGLMinFilter filter);
GLenum MagFilterToGL(TGLMagFilter filter);

class TGLTexture : public TGLUpdateAbleObject {
  RTL_CLASS(TGLTexture, TGLUpdateAbleObject)
 public:
  // Disabled, a TGLPersistentImage, both change flags set, no GL name.
  explicit TGLTexture(TPersistent* AOwner);
  ~TGLTexture() override;

  // From a texture: the settings listed for textures (not brightness, gamma, filtering quality,
  // environment colour, normal-map scale) and the image; from a TGraphic or TPicture: the image
  // assigns from it; nullptr: disabled with a fresh persistent image.
  void Assign(TPersistent* Source) override;
  // An owning extra-unit item notifies its material first; then inherited.
  void NotifyChange(TObject* Sender) override;

  TGLTextureImage* Image() const noexcept { return image_.get(); }
  // nullptr: a fresh persistent image; another class: replaced by one of that class; then the
  // image assigns from the value.
  void SetImage(TGLTextureImage* v);
  std::string ImageClassName() const { return image_->ClassName(); }
  // A registered class name different from the current one replaces the image. An unknown
  // name keeps the image and raises ETexture.
  void SetImageClassName(const std::string& v);

  TGLTextureMode TextureMode() const noexcept { return textureMode_; }
  void SetTextureMode(TGLTextureMode v);
  TGLTextureWrap TextureWrap() const noexcept { return textureWrap_; }
  void SetTextureWrap(TGLTextureWrap v);
  TGLTextureFormat TextureFormat() const noexcept { return textureFormat_; }
  void SetTextureFormat(TGLTextureFormat v);
  TGLMinFilter MinFilter() const noexcept { return minFilter_; }
  void SetMinFilter(TGLMinFilter v);
  TGLMagFilter MagFilter() const noexcept { return magFilter_; }
  void SetMagFilter(TGLMagFilter v);
  TGLTextureCompression Compression() const noexcept { return compression_; }
  void SetCompression(TGLTextureCompression v);
  TGLTextureFilteringQuality FilteringQuality() const noexcept { return filteringQuality_; }
  void SetFilteringQuality(TGLTextureFilteringQuality v);
  TGLTextureImageAlpha ImageAlpha() const noexcept { return imageAlpha_; }
  void SetImageAlpha(TGLTextureImageAlpha v);
  float ImageBrightness() const noexcept { return imageBrightness_; }
  void SetImageBrightness(float v);
  float ImageGamma() const noexcept { return imageGamma_; }
  void SetImageGamma(float v);
  float NormalMapScale() const noexcept { return normalMapScale_; }
  void SetNormalMapScale(float v);
  TGLTextureMappingMode MappingMode() const noexcept { return mappingMode_; }
  void SetMappingMode(TGLTextureMappingMode v);
  // Created on first access at (1, 0, 0, 0).
  TGLCoordinates4* MappingSCoordinates();
  TGLCoordinates4* MappingTCoordinates();
  TGLCoordinates4* MappingSCoordinatesIfAny() const noexcept { return mappingS_.get(); }
  TGLCoordinates4* MappingTCoordinatesIfAny() const noexcept { return mappingT_.get(); }
  void SetMappingSCoordinates(TGLCoordinates4* v);
  void SetMappingTCoordinates(TGLCoordinates4* v);
  TGLColor* EnvColor() const noexcept { return envColor_.get(); }
  void SetEnvColor(TGLColor* v);
  bool Disabled() const noexcept { return disabled_; }
  void SetDisabled(bool v);
  bool Enabled() const noexcept { return !disabled_; }
  void SetEnabled(bool v) { SetDisabled(!v); }

  // Shows another texture's picture: while set, this texture binds the source's GL name (made
  // and uploaded once, by whichever of its users draws first) and holds no name or upload of
  // its own; its own settings (mode, mapping, enabling) still apply. Many objects showing one
  // picture thus cost one texture and no binding change from one to the next. A change of
  // this texture's own picture ends the sharing, as does nullptr. A source that shows another
  // texture's picture itself lends that one.
  void SetPictureSource(std::shared_ptr<TGLTexture> source);
  TGLTexture* PictureSource() const noexcept { return source_.get(); }
  // Whether Apply and UnApply of both send the same state: both off, or both showing one
  // shared picture with the same mode, colour and mapping. Own pictures never compare equal.
  bool SameLook(const TGLTexture& other) const;

  // Pending changes.
  void NotifyImageChange();
  void NotifyParamsChange();
  bool ImageChanged() const noexcept { return imageChanged_; }
  bool ParamsChanged() const noexcept { return paramsChanged_; }

  // GL side (context current).
  virtual GLuint GetTextureHandle();
  // Bytes of every texture's uploaded picture whose name still lives (4 a
  // texel, mipmaps included), for memory accounting; main thread.
  static int64_t UploadedBytes() noexcept;
  virtual void UploadImage(GLenum target);
  virtual void ApplyTextureParams(GLenum target);
  // Unit 0.
  void Apply(TRenderContextInfo& rci);
  void UnApply(TRenderContextInfo& rci);
  // Unit 1 / unit n - 1; libMaterial (optional) supplies a texture matrix.
  void ApplyAsTexture2(TRenderContextInfo& rci, TGLLibMaterial* libMaterial = nullptr);
  void UnApplyAsTexture2(TRenderContextInfo& rci, TGLLibMaterial* libMaterial = nullptr);
  void ApplyAsTextureN(int n, TRenderContextInfo& rci, TGLLibMaterial* libMaterial = nullptr);
  void UnApplyAsTextureN(int n, TRenderContextInfo& rci, TGLLibMaterial* libMaterial = nullptr);
  // Frees the GL name, sets both change flags, required memory -1.
  void DestroyHandles();
  bool IsFloatType() const noexcept;
  bool IsHandleAllocated() const noexcept { return handle_->Handle() != 0; }
  GLuint Handle() const noexcept { return handle_->Handle(); }
  // The internal format an upload would use now (GL_TEXTURE_COMPRESSION_HINT_ARB is not sent).
  GLenum OpenGLTextureFormat() const;
  // Compressed size after the last upload, -1 when unknown.
  int RequiredMemory() const noexcept { return requiredMemory_; }
  int TexWidth() const noexcept { return texWidth_; }
  int TexHeight() const noexcept { return texHeight_; }

  TTextureNeededEvent OnTextureNeeded;
  // Called by the image: forwards to OnTextureNeeded.
  void DoOnTextureNeeded(TObject* Sender, std::string& textureFileName);

 private:
  void CreateImage(TClass imageClass);
  GLuint PrepareTextureHandle(TGLStateCache* cache, int slot);
  GLuint BudgetedHandle(TRenderContextInfo& rci, int slot);
  void CountUpload(int64_t bytes) noexcept;
  void NotifyOwnerTexMapChange();
  void SetupTextureGeneration(TRenderContextInfo& rci);
  void UnSetupTextureGeneration();
  GLenum ChooseInternalFormat(bool sendHint) const;
  void LoadCubeMapMatrix(TRenderContextInfo& rci, bool light0, bool camera);
  // The image whose picture is bound: the source's while sharing.
  const TGLTextureImage& ShownImage() const noexcept { return source_ ? *source_->image_ : *image_; }
  std::unique_ptr<TGLTextureHandle> handle_;
  std::shared_ptr<TGLTexture> source_;
  TGLTextureMode textureMode_ = tmDecal;
  TGLTextureWrap textureWrap_ = twBoth;
  TGLTextureFormat textureFormat_ = tfDefault;
  TGLMinFilter minFilter_ = miLinearMipmapLinear;
  TGLMagFilter magFilter_ = maLinear;
  bool imageChanged_ = true, paramsChanged_ = true;
  uint64_t uploadWaitingSince_ = 0;  // an upload waiting for the budget (its first frame)
  int64_t uploadedBytes_ = 0;        // of the picture uploaded last, while the name lives
  bool disabled_ = true;
  std::unique_ptr<TGLTextureImage> image_;
  TGLTextureImageAlpha imageAlpha_ = tiaDefault;
  float imageBrightness_ = 1.0f, imageGamma_ = 1.0f;
  TGLTextureMappingMode mappingMode_ = tmmUser;
  std::unique_ptr<TGLCoordinates4> mappingS_, mappingT_;
  TGLTextureCompression compression_ = tcDefault;
  int requiredMemory_ = -1;
  TGLTextureFilteringQuality filteringQuality_ = tfIsotropic;
  int texWidth_ = 0, texHeight_ = 0;
  std::unique_ptr<TGLColor> envColor_;
  float normalMapScale_ = 0.125f;
};

class TGLTextureEx;

// A texture on a further texture unit of a material.
class TGLTextureExItem : public TCollectionItem {
  RTL_CLASS(TGLTextureExItem, TCollectionItem)
 public:
  // TextureIndex starts at the item's collection ID.
  explicit TGLTextureExItem(TCollection* ACollection);
  ~TGLTextureExItem() override;

  void Assign(TPersistent* Source) override;
  // "Tex [<TextureIndex>]".
  std::string GetDisplayName() override;

  TGLTexture* Texture() const noexcept { return texture_.get(); }
  void SetTexture(TGLTexture* v);
  int TextureIndex() const noexcept { return textureIndex_; }
  // Negative values store 0.
  void SetTextureIndex(int v);
  TGLCoordinates* TextureOffset() const noexcept { return offset_.get(); }
  TGLCoordinates* TextureScale() const noexcept { return scale_.get(); }
  void SetTextureOffset(TGLCoordinates* v);
  void SetTextureScale(TGLCoordinates* v);

  void CalculateTextureMatrix();
  bool TextureMatrixIsIdentity() const noexcept { return textureMatrixIsIdentity_; }
  const TMatrix4f& TextureMatrix() const noexcept { return textureMatrix_; }
  bool Applied() const noexcept { return applied_; }

  // The owning material (nullptr without collection or material).
  TGLMaterial* Material() const;
  // Notifies the owning material.
  void NotifyChange(TObject* Sender);

  void Apply(TRenderContextInfo& rci);
  void UnApply(TRenderContextInfo& rci);

 private:
  friend class TGLTextureEx;
  void PopTextureMatrix();
  std::unique_ptr<TGLTexture> texture_;
  int textureIndex_ = 0;
  std::unique_ptr<TGLCoordinates> offset_, scale_;
  bool textureMatrixIsIdentity_ = true;
  TMatrix4f textureMatrix_{};
  bool applied_ = false;
};

class TGLTextureEx : public TOwnedCollection {
  RTL_CLASS(TGLTextureEx, TOwnedCollection)
 public:
  explicit TGLTextureEx(TGLMaterial* AOwner);
  TGLMaterial* Material() const noexcept { return material_; }
  TGLTextureExItem* Add() { return AddAs<TGLTextureExItem>(); }
  TGLTextureExItem* Items(int index) const { return ItemAs<TGLTextureExItem>(index); }
  // Some item with that TextureIndex has an enabled texture; false for nullptr.
  static bool IsTextureEnabled(const TGLTextureEx* ex, int index);
  bool IsTextureEnabled(int index) const { return IsTextureEnabled(this, index); }
  void Apply(TRenderContextInfo& rci);
  void UnApply(TRenderContextInfo& rci);
  void Loaded();

 private:
  TGLMaterial* material_;
  bool applied_ = false;  // an item may be applied: UnApply has something to take off
};

// Registers the image classes, TGLMaterialLibrary, the ".bmp" loader, the published
// properties of the colour, texture and material classes, and fills the system-colour vectors.
void RegisterGLTextureClasses();
