// Texture images (blank, picture, file, cube map, float data) and textures: the image class
// registry, settings, and lazy creation and upload of the texture object.
#include "Source/Materials/GLTexture.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Source/Base/ApplicationFileIO.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStrings.h"
#include "Source/Scene/GLUploadBudget.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

[[noreturn]] void RaiseCouldNotOpen(const std::string& fileName) {
  throw ETexture(Format(glsFailedOpenFile, fileName.c_str()));
}

void WriteTextFile(const std::string& fileName, const std::string& text) {
  WriteFileStream(fileName, [&text](TStream* fs) { fs->WriteBuffer(text.data(), std::int64_t(text.size())); });
}

std::string ReadWholeFile(const std::string& fileName) {
  auto fs = CreateFileStream(fileName);
  std::string data(size_t(fs->Size()), '\0');
  if (!data.empty()) fs->ReadBuffer(data.data(), std::int64_t(data.size()));
  return data;
}

// The text form of blank and float-data images.
void SaveSizeFile(const std::string& fileName, const char* tag, int w, int h) {
  WriteTextFile(fileName, Format("%s\r\nWidth=%d\r\nHeight=%d", tag, w, h));
}

// Values as written; negative sizes count as 0 and sizes above the cap are refused.
void LoadSizeFile(const std::string& fileName, int& w, int& h) {
  if (!FileStreamExists(fileName)) RaiseCouldNotOpen(fileName);
  TStringList lines;
  lines.SetText(ReadWholeFile(fileName));
  const int nw = std::max(0, StrToInt(Trim(lines.Values("Width"))));
  const int nh = std::max(0, StrToInt(Trim(lines.Values("Height"))));
  if (nw > MaxBlankImageSide || nh > MaxBlankImageSide) throw ETexture(Format("Image size %dx%d is too large", nw, nh));
  w = nw;
  h = nh;
}

void BuildBlankBitmap(std::unique_ptr<TGLBitmap32>& bitmap, int w, int h) {
  if (bitmap) return;
  bitmap = std::make_unique<TGLBitmap32>();
  bitmap->SetWidth(w);
  bitmap->SetHeight(h);  // zero-filled: never uploads stale memory
}

int ClampSide(int v) { return std::clamp(v, 1, MaxBlankImageSide); }

// An empty face is saved as a bitmap header of width or height 0, which the bitmap reader
// refuses: such a header is passed over here and the face stays empty.
bool SkipEmptyBitmap(TStream& s) {
  const std::int64_t start = s.Position();
  uint8_t head[26];
  if (s.Size() - start < 26 || s.Read(head, 26) != 26) {
    s.SetPosition(start);
    return false;
  }
  auto get32 = [&](int at) {
    return std::int32_t(uint32_t(head[at]) | uint32_t(head[at + 1]) << 8 | uint32_t(head[at + 2]) << 16 |
                        uint32_t(head[at + 3]) << 24);
  };
  const bool empty = head[0] == 'B' && head[1] == 'M' && get32(14) >= 40 && (get32(18) == 0 || get32(22) == 0);
  if (!empty) {
    s.SetPosition(start);
    return false;
  }
  const std::int64_t length = get32(2);
  if (length < 26 || length > s.Size() - start) throw EReadError("Truncated empty bitmap");
  s.SetPosition(start + length);
  return true;
}

std::vector<TClass>& ImageClassRegistry() {
  static std::vector<TClass> classes;
  return classes;
}

struct TExtensionRegistry {
  std::vector<std::string> extensions;
  std::vector<TGraphicClass> classes;
};
TExtensionRegistry& GraphicExtensions() {
  static TExtensionRegistry registry;
  return registry;
}

}  // namespace

void DefinePictureProperty(TFiler* Filer, const std::string& name, const std::function<TPicture*()>& picture,
                           const TPicture* current) {
  Filer->DefineBinaryProperty(
      name,
      [picture](TStream* s) {
        const std::string className = ValueEncoding::ReadShortString(*s);
        TGraphicClass cls = nullptr;
        for (const auto& f : RegisteredPictureFormats())
          if (f.GraphicClass->Name == className) cls = f.GraphicClass;
        if (!cls) throw EReadError(Format("Unknown picture class %s", className.c_str()));
        auto graphic = NewGraphic(cls);
        graphic->LoadFromStream(*s);
        picture()->TakeGraphic(std::move(graphic));
      },
      [current](TStream* s) {
        const TGraphic* g = current->Graphic();
        ValueEncoding::WriteShortString(*s, g->ClassName());
        g->SaveToStream(*s);
      },
      current && current->Graphic() && !current->Graphic()->Empty());
}

// ---- TGLTextureImage ---------------------------------------------------------------------

TGLTextureImage::TGLTextureImage(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {
  if (AOwner && !AOwner->Is<TGLTexture>())
    throw EInvalidCast(Format("A texture image cannot be owned by a %s", AOwner->ClassName().c_str()));
  ownerTexture_ = static_cast<TGLTexture*>(AOwner);
}

TGLTextureImage::~TGLTextureImage() = default;

TGLBitmap32* TGLTextureImage::GetBitmap32(GLenum) { return bitmap_.get(); }

void TGLTextureImage::ReleaseBitmap32() { bitmap_.reset(); }

void TGLTextureImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
}

void TGLTextureImage::DoTextureNeeded(std::string& fileName) {
  if (OnTextureNeeded) OnTextureNeeded(this, fileName);
}

void TGLTextureImage::Invalidate() {
  ReleaseBitmap32();
  NotifyChange(this);
}

void TGLTextureImage::NotifyChange(TObject*) {
  if (ownerTexture_) ownerTexture_->NotifyImageChange();
}

// ---- TGLBlankImage / TGLFloatDataImage ---------------------------------------------------

TGLBlankImage::TGLBlankImage(TPersistent* AOwner) : TGLTextureImage(AOwner) {}

void TGLBlankImage::SetWidth(int v) {
  if (v != width_) {
    width_ = ClampSide(v);
    Invalidate();
  }
}

void TGLBlankImage::SetHeight(int v) {
  if (v != height_) {
    height_ = ClampSide(v);
    Invalidate();
  }
}

std::string TGLBlankImage::FriendlyDescription() const { return "Blank Image (Width x Height)"; }

TGLBitmap32* TGLBlankImage::GetBitmap32(GLenum) {
  BuildBlankBitmap(bitmap_, width_, height_);
  return bitmap_.get();
}

void TGLBlankImage::Assign(TPersistent* Source) {
  if (Source && Source->ClassType() == ClassType()) {
    width_ = static_cast<TGLBlankImage*>(Source)->width_;
    height_ = static_cast<TGLBlankImage*>(Source)->height_;
    Invalidate();
  } else {
    inherited::Assign(Source);
  }
}

void TGLBlankImage::SaveToFile(const std::string& fileName) { SaveSizeFile(fileName, TagLine(), width_, height_); }

void TGLBlankImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
  LoadSizeFile(name, width_, height_);
  Invalidate();  // an uploaded texture must not keep the old size
}

TGLFloatDataImage::TGLFloatDataImage(TPersistent* AOwner) : TGLTextureImage(AOwner) {}

void TGLFloatDataImage::SetWidth(int v) {
  if (v != width_) {
    width_ = ClampSide(v);
    Invalidate();
  }
}

void TGLFloatDataImage::SetHeight(int v) {
  if (v != height_) {
    height_ = ClampSide(v);
    Invalidate();
  }
}

GLenum TGLFloatDataImage::NativeTextureTarget() const { return GL_TEXTURE_RECTANGLE_NV; }

TGLBitmap32* TGLFloatDataImage::GetBitmap32(GLenum) {
  BuildBlankBitmap(bitmap_, width_, height_);
  return bitmap_.get();
}

void TGLFloatDataImage::Assign(TPersistent* Source) {
  if (Source && Source->ClassType() == ClassType()) {
    width_ = static_cast<TGLFloatDataImage*>(Source)->width_;
    height_ = static_cast<TGLFloatDataImage*>(Source)->height_;
    Invalidate();
  } else {
    inherited::Assign(Source);
  }
}

void TGLFloatDataImage::SaveToFile(const std::string& fileName) {
  SaveSizeFile(fileName, "[FloatDataImage]", width_, height_);
}

void TGLFloatDataImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
  LoadSizeFile(name, width_, height_);
  Invalidate();
}

// ---- TGLPictureImage ---------------------------------------------------------------------

TGLPictureImage::TGLPictureImage(TPersistent* AOwner) : TGLTextureImage(AOwner) {}

TGLPictureImage::~TGLPictureImage() {
  ReleaseBitmap32();
  if (picture_) picture_->OnChange = nullptr;
}

TPicture* TGLPictureImage::PictureObject() {
  if (!picture_) {
    picture_ = std::make_unique<TPicture>();
    picture_->OnChange = [this](TObject*) { Invalidate(); };
  }
  return picture_.get();
}

TPicture* TGLPictureImage::Picture() {
  TPicture* picture = PictureObject();
  if (released_) {
    released_ = false;
    // The same picture as before it was let go: nothing to invalidate.
    TRestore detached(picture->OnChange, TNotifyEvent());
    remake_(*picture);
  }
  return picture;
}

void TGLPictureImage::SetRemake(TPictureRemake remake) {
  if (!remake && released_) Picture();  // kept from now on: made again while the remake is known
  remake_ = std::move(remake);
}

void TGLPictureImage::ReleaseSourceAfterUpload() {
  if (!remake_ || !picture_ || released_) return;
  releasedWidth_ = picture_->Width();
  releasedHeight_ = picture_->Height();
  picture_.reset();
  released_ = true;
}

TPicture* TGLPictureImage::FreshPicture() {
  released_ = false;
  return PictureObject();
}

void TGLPictureImage::SetPicture(TPicture* v) { FreshPicture()->Assign(v); }

int TGLPictureImage::GetWidth() { return released_ ? releasedWidth_ : picture_ ? picture_->Width() : 0; }

int TGLPictureImage::GetHeight() { return released_ ? releasedHeight_ : picture_ ? picture_->Height() : 0; }

void TGLPictureImage::WithoutPictureHandler(const std::function<void()>& f) {
  TRestore detached(Picture()->OnChange, TNotifyEvent());
  f();
}

void TGLPictureImage::BuildBitmapFromPicture() {
  auto bitmap = std::make_unique<TGLBitmap32>();
  WithoutPictureHandler([&] { bitmap->Assign(Picture()->Graphic()); });
  bitmap_ = std::move(bitmap);
}

TGLBitmap32* TGLPictureImage::GetBitmap32(GLenum) {
  if (!bitmap_) BuildBitmapFromPicture();
  return bitmap_.get();
}

void TGLPictureImage::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLPersistentImage>()) {
    TPicture* from = static_cast<TGLPersistentImage*>(Source)->Picture();
    FreshPicture()->Assign(from);
  } else if (Source && Source->Is<TGraphic>()) {
    FreshPicture()->SetGraphic(static_cast<TGraphic*>(Source));
  } else if (Source && Source->Is<TPicture>()) {
    FreshPicture()->Assign(Source);
  } else if (Source && Source->Is<TGLBitmap32>()) {
    FreshPicture()->TakeGraphic(static_cast<TGLBitmap32*>(Source)->ToWinBitmap());
  } else {
    inherited::Assign(Source);
  }
}

// ---- TGLPersistentImage ------------------------------------------------------------------

TGLPersistentImage::TGLPersistentImage(TPersistent* AOwner) : TGLPictureImage(AOwner) {}

std::string TGLPersistentImage::FriendlyDescription() const {
  return "Image data is stored in its original format with other form resources,ie. in the DFM at "
         "design-time, and embedded in the EXE at run-time.";
}

void TGLPersistentImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
  std::unique_ptr<TGraphic> graphic;
  try {
    graphic = LoadGraphicFromFile(name);
  } catch (const Exception&) {
    graphic.reset();  // unreadable: reported below like a missing file
  }
  if (graphic) {
    FreshPicture()->TakeGraphic(std::move(graphic));
    return;
  }
  FreshPicture()->SetGraphic(nullptr);
  RaiseCouldNotOpen(fileName);
}

void TGLPersistentImage::SaveToFile(const std::string& fileName) { Picture()->SaveToFile(fileName); }

void TGLPersistentImage::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  DefinePictureProperty(
      Filer, "PictureData", [this] { return Picture(); }, PictureReleased() ? Picture() : PictureIfAny());
}

// ---- TGLPicFileImage ---------------------------------------------------------------------

TGLPicFileImage::TGLPicFileImage(TPersistent* AOwner) : TGLPictureImage(AOwner) {}

void TGLPicFileImage::SetPictureFileName(const std::string& v) {
  if (v != pictureFileName_) {
    pictureFileName_ = v;
    alreadyWarnedAboutMissingFile_ = false;
    Invalidate();
  }
}

TGLBitmap32* TGLPicFileImage::GetBitmap32(GLenum target) {
  if (bitmap_) return bitmap_.get();
  TPicture* picture = Picture();
  if (picture->Width() >= 1 || pictureFileName_.empty()) return inherited::GetBitmap32(target);
  {
    TRestore detached(picture->OnChange, TNotifyEvent());
    // A file that is missing or cannot be decoded is reported once for this name; after that
    // the image is empty and the texture draws without pixels.
    if (std::unique_ptr<TGraphic> graphic = ReadFile(&shownFile_)) {
      picture->TakeGraphic(std::move(graphic));
    } else {
      picture->SetGraphic(nullptr);
      if (!alreadyWarnedAboutMissingFile_) {
        alreadyWarnedAboutMissingFile_ = true;
        RaiseCouldNotOpen(pictureFileName_);
      }
    }
  }
  BuildBitmapFromPicture();
  TRestore detached(picture->OnChange, TNotifyEvent());
  picture->SetGraphic(nullptr);  // the file's pixels live only in the cached bitmap
  return bitmap_.get();
}

namespace {

std::atomic<int> shownFileHandles{0};

void CloseShownFileHandle(int& handle) {
  if (handle < 0) return;
  ::close(handle);
  handle = -1;
  --shownFileHandles;
}

// A file's time as "YYYY-MM-DD hh:mm:ss.mmm", local time.
std::string FileTimeText(std::int64_t sec, std::int64_t nsec) {
  const time_t t = time_t(sec);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return IntToStr(int(sec));
  char text[32], withMs[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(withMs, sizeof withMs, "%s.%03d", text, int(nsec / 1000000));
  return withMs;
}

}  // namespace

int MaxShownFileHandles() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const rlim_t share = limit.rlim_cur == RLIM_INFINITY ? 256 : limit.rlim_cur / 8;
  return int(std::min<rlim_t>(share, 256));
}

TGLPicFileImage::TShownFile& TGLPicFileImage::TShownFile::operator=(TShownFile&& other) noexcept {
  if (this != &other) {
    CloseShownFileHandle(handle);
    name = std::move(other.name);
    ext = std::move(other.ext);
    handle = std::exchange(other.handle, -1);
    identified = std::exchange(other.identified, false);
    hash = other.hash;
    device = other.device;
    inode = other.inode;
    size = other.size;
    mtimeSec = other.mtimeSec;
    mtimeNsec = other.mtimeNsec;
  }
  return *this;
}

TGLPicFileImage::TShownFile::~TShownFile() { CloseShownFileHandle(handle); }

std::optional<std::string> TGLPicFileImage::TShownFile::Bytes(std::string& changed) const {
  // Through the handle, the file read even when its name now gives another or none; without
  // one, the file of that name, if it is still that file.
  struct stat st;
  if (handle >= 0 ? ::fstat(handle, &st) != 0 : ::stat(name.c_str(), &st) != 0) {
    changed = "removed";
    return std::nullopt;
  }
  if (std::uint64_t(st.st_dev) != device || std::uint64_t(st.st_ino) != inode) {
    changed = "replaced by another file";
    return std::nullopt;
  }
  // Its bytes decide (a file touched, or written again the same, is as it was); its time only
  // helps to say what happened.
  const bool sameTime = st.st_mtim.tv_sec == mtimeSec && st.st_mtim.tv_nsec == mtimeNsec;
  auto tell = [&](const std::string& what) {
    changed = sameTime ? what
                       : what + "; written " + FileTimeText(mtimeSec, mtimeNsec) + ", now " +
                             FileTimeText(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    return std::nullopt;
  };
  if (st.st_size != size) return tell(Format("%d bytes, now %d", size, std::int64_t(st.st_size)));
  const int fd = handle >= 0 ? handle : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return tell("no longer readable");
  TScopeExit closeOwn([fd, this] {
    if (fd != handle) ::close(fd);
  });
  std::string bytes(size_t(size), '\0');
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return tell("shorter than it was");
    done += size_t(n);
  }
  if (std::hash<std::string>{}(bytes) != hash) return tell("other bytes of the same size");
  return bytes;
}

std::unique_ptr<TGraphic> TGLPicFileImage::ReadFile(TShownFile* shown) {
  std::string name = pictureFileName_;
  DoTextureNeeded(name);
  if (!FileStreamExists(name)) return nullptr;
  try {
    const std::string ext = LowerCase(ExtractFileExt(name));
    std::string bytes;
    auto stream = CreateFileStream(name);
    bytes.resize(size_t(stream->Size()));
    if (!bytes.empty()) stream->ReadBuffer(bytes.data(), std::int64_t(bytes.size()));
    std::unique_ptr<TGraphic> graphic = GraphicFromBytes(ext, bytes);
    if (graphic && shown) {
      TShownFile kept;
      kept.name = name;
      kept.ext = ext;
      // A file on disk (not one the program's file hook serves from elsewhere).
      auto* file = dynamic_cast<THandleStream*>(stream.get());
      struct stat st;
      if (file && ::fstat(file->Handle(), &st) == 0) {
        kept.identified = std::int64_t(st.st_size) == std::int64_t(bytes.size());
        kept.device = std::uint64_t(st.st_dev);
        kept.inode = std::uint64_t(st.st_ino);
        kept.size = st.st_size;
        kept.mtimeSec = st.st_mtim.tv_sec;
        kept.mtimeNsec = st.st_mtim.tv_nsec;
        kept.hash = std::hash<std::string>{}(bytes);
      }
      // Within the share of descriptors shown files may keep; past it the file is told by its
      // name and what it was.
      if (kept.identified && ++shownFileHandles <= MaxShownFileHandles())
        kept.handle = ::fcntl(file->Handle(), F_DUPFD_CLOEXEC, 0);
      if (kept.identified && kept.handle < 0) --shownFileHandles;
      *shown = std::move(kept);
    }
    return graphic;
  } catch (const Exception&) {
    return nullptr;
  }
}

std::unique_ptr<TGraphic> TGLPicFileImage::LoadPicture(bool changedReadsNow) {
  if (pictureFileName_.empty()) return nullptr;
  if (shownFile_.identified) {
    std::string changed;
    if (std::optional<std::string> bytes = shownFile_.Bytes(changed)) {
      try {
        if (std::unique_ptr<TGraphic> graphic = GraphicFromBytes(shownFile_.ext, *bytes)) return graphic;
      } catch (const Exception&) {
      }
    } else if (!changedReadsNow) {
      // The picture shown is no longer on disk: a save must not take another in its place.
      throw ETexture(Format("Picture file changed since it was shown: %s (%s)", shownFile_.name, changed));
    }
  }
  std::unique_ptr<TGraphic> graphic = ReadFile(nullptr);
  if (!graphic) RaiseCouldNotOpen(pictureFileName_);
  return graphic;
}

void TGLPicFileImage::Invalidate() {
  shownFile_ = {};
  if (PictureIfAny()) WithoutPictureHandler([this] { Picture()->SetGraphic(nullptr); });
  inherited::Invalidate();
}

void TGLPicFileImage::SaveToFile(const std::string& fileName) { WriteTextFile(fileName, pictureFileName_); }

void TGLPicFileImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
  if (!FileStreamExists(name)) RaiseCouldNotOpen(name);
  auto fs = CreateFileStream(name);
  const std::int64_t size = fs->Size();
  if (size >= 512) {
    SetPictureFileName(name);
    return;
  }
  std::string text(size_t(size), '\0');
  if (size > 0) fs->ReadBuffer(text.data(), size);
  if (text.find('\0') != std::string::npos) {
    SetPictureFileName(name);
  } else {
    // A pointer file: its text names the picture (a final line break is not part of it).
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    SetPictureFileName(text);
  }
}

void TGLPicFileImage::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLPicFileImage>())
    SetPictureFileName(static_cast<TGLPicFileImage*>(Source)->pictureFileName_);
  else
    inherited::Assign(Source);
}

// ---- TGLCubeMapImage ---------------------------------------------------------------------

TGLCubeMapImage::TGLCubeMapImage(TPersistent* AOwner) : TGLTextureImage(AOwner) {
  for (auto& p : pictures_) {
    p = std::make_unique<TPicture>();
    p->OnChange = [this](TObject*) { Invalidate(); };
  }
}

TGLCubeMapImage::~TGLCubeMapImage() {
  ReleaseBitmap32();
  for (auto& p : pictures_) p->OnChange = nullptr;
}

void TGLCubeMapImage::SetPicture(TGLCubeMapTarget index, TPicture* v) { pictures_[index]->Assign(v); }

void TGLCubeMapImage::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  static const char* const names[6] = {"PicturePXData", "PictureNXData", "PicturePYData",
                                       "PictureNYData", "PicturePZData", "PictureNZData"};
  for (int i = 0; i < 6; ++i) {
    TPicture* p = pictures_[i].get();
    DefinePictureProperty(
        Filer, names[i], [p] { return p; }, p);
  }
}

int TGLCubeMapImage::GetWidth() { return pictures_[cmtPX]->Width(); }

int TGLCubeMapImage::GetHeight() { return pictures_[cmtPX]->Height(); }

TGLBitmap32* TGLCubeMapImage::GetBitmap32(GLenum target) {
  ReleaseBitmap32();
  int face = int(target) - int(GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB);
  if (face < 0 || face > 5) face = cmtPX;
  auto bitmap = std::make_unique<TGLBitmap32>();
  bitmap->SetBottomUpOnAssign(true);
  {
    TRestore detached(pictures_[face]->OnChange, TNotifyEvent());
    bitmap->Assign(pictures_[face]->Graphic());
  }
  bitmap_ = std::move(bitmap);
  return bitmap_.get();
}

void TGLCubeMapImage::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLCubeMapImage>()) {
    for (int i = 0; i < 6; ++i) pictures_[i]->Assign(static_cast<TGLCubeMapImage*>(Source)->pictures_[i].get());
    Invalidate();
  } else {
    inherited::Assign(Source);
  }
}

void TGLCubeMapImage::SaveToFile(const std::string& fileName) {
  WriteFileStream(fileName, [this](TStream* fs) {
    const uint8_t version[2] = {0x00, 0x01};  // 256, little-endian
    fs->WriteBuffer(version, 2);
    for (const auto& p : pictures_) {
      TBitmap bmp;
      if (p->Graphic()) bmp.Assign(p->Graphic());
      bmp.SaveToStream(*fs);
    }
  });
}

void TGLCubeMapImage::LoadFromFile(const std::string& fileName) {
  std::string name = fileName;
  DoTextureNeeded(name);
  auto fs = CreateFileStream(name);
  uint8_t version[2] = {0, 0};
  fs->ReadBuffer(version, 2);
  RTL_ASSERT(version[0] == 0x00 && version[1] == 0x01);
  // All six are read before any picture changes, so a bad file leaves the image as it was.
  std::unique_ptr<TBitmap> faces[6];
  for (auto& f : faces) {
    f = std::make_unique<TBitmap>();
    if (!SkipEmptyBitmap(*fs)) f->LoadFromStream(*fs);
  }
  for (int i = 0; i < 6; ++i) pictures_[i]->TakeGraphic(std::move(faces[i]));
}

// ---- registries --------------------------------------------------------------------------

void RegisterTextureImageClass(TClass imageClass) { ImageClassRegistry().push_back(imageClass); }

TClass FindTextureImageClass(const std::string& className) {
  for (TClass c : ImageClassRegistry())
    if (c->Name == className) return c;
  return nullptr;
}

std::vector<TClass> GetTextureImageClasses() { return ImageClassRegistry(); }

void RegisterGraphicExtension(const std::string& extension, TGraphicClass graphicClass) {
  auto& r = GraphicExtensions();
  r.extensions.push_back(LowerCase(extension));
  r.classes.push_back(graphicClass);
}

namespace {

// An empty graphic of the loader registered for the extension, else of the picture layer's;
// nullptr when none knows it.
std::unique_ptr<TGraphic> NewGraphicForExtension(const std::string& ext) {
  TGraphicClass cls = nullptr;
  const auto& r = GraphicExtensions();
  for (size_t i = 0; i < r.extensions.size() && !cls; ++i)
    if (r.extensions[i] == ext) cls = r.classes[i];
  if (!cls) cls = PictureClassForExtension(ext);
  return cls ? NewGraphic(cls) : nullptr;
}

}  // namespace

std::unique_ptr<TGraphic> GraphicFromBytes(const std::string& extension, const std::string& bytes) {
  std::unique_ptr<TGraphic> graphic = NewGraphicForExtension(extension);
  if (!graphic) return nullptr;
  TStringStream stream(bytes);
  graphic->LoadFromStream(stream);
  return graphic;
}

std::unique_ptr<TGraphic> LoadGraphicFromFile(const std::string& fileName) {
  if (!FileStreamExists(fileName)) return nullptr;
  std::unique_ptr<TGraphic> graphic = NewGraphicForExtension(LowerCase(ExtractFileExt(fileName)));
  if (!graphic) return nullptr;
  auto stream = CreateFileStream(fileName);
  graphic->LoadFromStream(*stream);
  return graphic;
}

// ---- TGLTexture --------------------------------------------------------------------------

GLenum TextureModeToGL(TGLTextureMode mode) {
  static const GLenum table[] = {GL_DECAL, GL_MODULATE, GL_BLEND, GL_REPLACE};
  return table[mode];
}

GLenum MinFilterToGL(TGLMinFilter filter) {
  static const GLenum table[] = {GL_NEAREST,
                                 GL_LINEAR,
                                 GL_NEAREST_MIPMAP_NEAREST,
                                 GL_LINEAR_MIPMAP_NEAREST,
                                 GL_NEAREST_MIPMAP_LINEAR,
                                 GL_LINEAR_MIPMAP_LINEAR};
  return table[filter];
}

GLenum MagFilterToGL(TGLMagFilter filter) { return filter == maNearest ? GL_NEAREST : GL_LINEAR; }

TGLTexture::TGLTexture(TPersistent* AOwner)
    : TGLUpdateAbleObject(AOwner),
      handle_(std::make_unique<TGLTextureHandle>()),
      envColor_(std::make_unique<TGLColor>(this, clrTransparent)) {
  CreateImage(TGLPersistentImage::StaticClass());
}

TGLTexture::~TGLTexture() { CountUpload(0); }

namespace {
int64_t UploadedBytesTotal = 0;
}  // namespace

int64_t TGLTexture::UploadedBytes() noexcept { return UploadedBytesTotal; }

void TGLTexture::CountUpload(int64_t bytes) noexcept {
  UploadedBytesTotal += bytes - uploadedBytes_;
  uploadedBytes_ = bytes;
}

void TGLTexture::CreateImage(TClass imageClass) {
  std::unique_ptr<TGLTextureImage> image(static_cast<TGLTextureImage*>(imageClass->Create(this)));
  image->OnTextureNeeded = [this](TObject* sender, std::string& name) { DoOnTextureNeeded(sender, name); };
  image_ = std::move(image);
}

void TGLTexture::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLTexture>()) {
    auto* src = static_cast<TGLTexture*>(Source);
    imageAlpha_ = src->imageAlpha_;
    textureMode_ = src->textureMode_;
    textureWrap_ = src->textureWrap_;
    textureFormat_ = src->textureFormat_;
    compression_ = src->compression_;
    minFilter_ = src->minFilter_;
    magFilter_ = src->magFilter_;
    mappingMode_ = src->mappingMode_;
    if (src->mappingS_)
      MappingSCoordinates()->Assign(src->mappingS_.get());
    else if (mappingS_)
      mappingS_->StoreVector({{1, 0, 0, 0}});
    if (src->mappingT_)
      MappingTCoordinates()->Assign(src->mappingT_.get());
    else if (mappingT_)
      mappingT_->StoreVector({{1, 0, 0, 0}});
    disabled_ = src->disabled_;
    SetImage(src->image_.get());
    source_ = src->source_;  // after the image, whose change would end the sharing
    imageChanged_ = paramsChanged_ = true;
    NotifyChange(this);
  } else if (Source && (Source->Is<TGraphic>() || Source->Is<TPicture>())) {
    image_->Assign(Source);
  } else if (!Source) {
    disabled_ = true;
    CreateImage(TGLPersistentImage::StaticClass());
    imageChanged_ = paramsChanged_ = true;
    NotifyChange(this);
  } else {
    inherited::Assign(Source);
  }
}

void TGLTexture::NotifyChange(TObject* Sender) {
  TPersistent* owner = Owner();
  if (owner && owner->Is<TGLTextureExItem>()) static_cast<TGLTextureExItem*>(owner)->NotifyChange(this);
  inherited::NotifyChange(Sender);
}

void TGLTexture::NotifyImageChange() {
  source_.reset();
  imageChanged_ = true;
  NotifyChange(this);
}

bool TGLTexture::SameLook(const TGLTexture& other) const {
  if (disabled_ || other.disabled_) return disabled_ == other.disabled_;
  return source_ && source_ == other.source_ && textureMode_ == other.textureMode_ &&
         VectorEquals(envColor_->Color(), other.envColor_->Color()) && mappingMode_ == tmmUser &&
         other.mappingMode_ == tmmUser;
}

void TGLTexture::SetPictureSource(std::shared_ptr<TGLTexture> source) {
  if (source && source->source_) source = source->source_;
  RTL_ASSERT(source.get() != this, "A texture cannot show its own picture through itself");
  if (source == source_) return;
  source_ = std::move(source);
  // Its own name is not bound while it shares; without a source its picture is uploaded anew.
  if (source_ && handle_->Handle() != 0) DestroyHandles();
  NotifyChange(this);
}

void TGLTexture::NotifyParamsChange() {
  paramsChanged_ = true;
  NotifyChange(this);
}

void TGLTexture::SetImage(TGLTextureImage* v) {
  if (!v) {
    CreateImage(TGLPersistentImage::StaticClass());
  } else {
    if (v->ClassType() != image_->ClassType()) CreateImage(v->ClassType());
    if (v != image_.get()) image_->Assign(v);
  }
  NotifyImageChange();
}

void TGLTexture::SetImageClassName(const std::string& v) {
  if (v.empty() || v == ImageClassName()) return;
  TClass cls = FindTextureImageClass(v);
  if (!cls) throw ETexture(Format("Unknown texture image class: %s", v.c_str()));
  CreateImage(cls);
  NotifyImageChange();
}

#define TEXTURE_SETTER(Name, Type, field, notify) \
  void TGLTexture::Set##Name(Type v) {            \
    if (v != field) {                             \
      field = v;                                  \
      notify();                                   \
    }                                             \
  }
TEXTURE_SETTER(TextureMode, TGLTextureMode, textureMode_, NotifyParamsChange)
TEXTURE_SETTER(TextureWrap, TGLTextureWrap, textureWrap_, NotifyParamsChange)
TEXTURE_SETTER(TextureFormat, TGLTextureFormat, textureFormat_, NotifyParamsChange)
TEXTURE_SETTER(MinFilter, TGLMinFilter, minFilter_, NotifyParamsChange)
TEXTURE_SETTER(MagFilter, TGLMagFilter, magFilter_, NotifyParamsChange)
TEXTURE_SETTER(Compression, TGLTextureCompression, compression_, NotifyParamsChange)
TEXTURE_SETTER(FilteringQuality, TGLTextureFilteringQuality, filteringQuality_, NotifyParamsChange)
TEXTURE_SETTER(ImageAlpha, TGLTextureImageAlpha, imageAlpha_, NotifyImageChange)
TEXTURE_SETTER(ImageBrightness, float, imageBrightness_, NotifyImageChange)
TEXTURE_SETTER(ImageGamma, float, imageGamma_, NotifyImageChange)
#undef TEXTURE_SETTER

void TGLTexture::SetNormalMapScale(float v) {
  if (v == normalMapScale_) return;
  normalMapScale_ = v;
  if (textureFormat_ == tfNormalMap) NotifyImageChange();
}

void TGLTexture::SetEnvColor(TGLColor* v) {
  if (v) envColor_->StoreColor(v->Color());
  NotifyParamsChange();
}

void TGLTexture::NotifyOwnerTexMapChange() {
  TPersistent* owner = Owner();
  if (owner && owner->Is<TGLMaterial>()) {
    static_cast<TGLMaterial*>(owner)->NotifyTexMapChange(this);
  } else if (owner && owner->Is<TGLTextureExItem>()) {
    if (TGLMaterial* m = static_cast<TGLTextureExItem*>(owner)->Material()) m->NotifyTexMapChange(this);
  } else {
    NotifyChange(this);
  }
}

void TGLTexture::SetDisabled(bool v) {
  if (v == disabled_) return;
  disabled_ = v;
  NotifyOwnerTexMapChange();
}

void TGLTexture::SetMappingMode(TGLTextureMappingMode v) {
  if (v == mappingMode_) return;
  mappingMode_ = v;
  TPersistent* owner = Owner();
  if (v == tmmUser && owner && owner->Is<TGLMaterial>())
    static_cast<TGLMaterial*>(owner)->NotifyTexMapChange(this);
  else
    NotifyChange(this);
}

TGLCoordinates4* TGLTexture::MappingSCoordinates() {
  if (!mappingS_) mappingS_ = std::make_unique<TGLCoordinates4>(this, TVector4f{{1, 0, 0, 0}}, csVector);
  return mappingS_.get();
}

TGLCoordinates4* TGLTexture::MappingTCoordinates() {
  if (!mappingT_) mappingT_ = std::make_unique<TGLCoordinates4>(this, TVector4f{{1, 0, 0, 0}}, csVector);
  return mappingT_.get();
}

void TGLTexture::SetMappingSCoordinates(TGLCoordinates4* v) {
  MappingSCoordinates()->Assign(v);
  NotifyChange(this);
}

void TGLTexture::SetMappingTCoordinates(TGLCoordinates4* v) {
  MappingTCoordinates()->Assign(v);
  NotifyChange(this);
}

bool TGLTexture::IsFloatType() const noexcept {
  return textureFormat_ == tfRGBAFloat16 || textureFormat_ == tfRGBAFloat32;
}

void TGLTexture::DoOnTextureNeeded(TObject* Sender, std::string& textureFileName) {
  if (OnTextureNeeded) OnTextureNeeded(Sender, textureFileName);
}

void TGLTexture::DestroyHandles() {
  handle_->FreeName();
  CountUpload(0);
  imageChanged_ = paramsChanged_ = true;
  requiredMemory_ = -1;
}

GLenum TGLTexture::ChooseInternalFormat(bool sendHint) const {
  TGLTextureFormat format = textureFormat_ == tfDefault ? vDefaultTextureFormat : textureFormat_;
  if (format == tfDefault) format = tfRGBA;
  if (format == tfRGBAFloat16) return GLCaps.ATI_texture_float ? 0x881A : 0x888A;
  if (format == tfRGBAFloat32) return GLCaps.ATI_texture_float ? 0x8814 : 0x888B;
  TGLTextureCompression compression = tcNone;
  if (GLCaps.ARB_texture_compression) {
    compression = compression_ == tcDefault ? vDefaultTextureCompression : compression_;
    if (compression == tcDefault) compression = tcNone;
  }
  if (compression == tcNone) {
    switch (format) {
      case tfRGB:
      case tfNormalMap: return GL_RGB8;
      case tfRGB16: return GL_RGB5;
      case tfRGBA16: return GL_RGBA4;
      case tfAlpha: return GL_ALPHA8;
      case tfLuminance: return GL_LUMINANCE8;
      case tfLuminanceAlpha: return GL_LUMINANCE8_ALPHA8;
      case tfIntensity: return GL_INTENSITY8;
      default: return GL_RGBA8;
    }
  }
  if (sendHint) {
    const GLenum hint = compression == tcHighQuality ? GL_NICEST
                        : compression == tcHighSpeed ? GL_FASTEST
                                                     : GL_DONT_CARE;
    GL.glHint(GL_TEXTURE_COMPRESSION_HINT_ARB, hint);
  }
  switch (format) {
    case tfRGB:
    case tfRGB16:
    case tfNormalMap: return GL_COMPRESSED_RGB_ARB;
    case tfAlpha: return GL_COMPRESSED_ALPHA_ARB;
    case tfLuminance: return GL_COMPRESSED_LUMINANCE_ARB;
    case tfLuminanceAlpha: return GL_COMPRESSED_LUMINANCE_ALPHA_ARB;
    case tfIntensity: return GL_COMPRESSED_INTENSITY_ARB;
    default: return GL_COMPRESSED_RGBA_ARB;
  }
}

GLenum TGLTexture::OpenGLTextureFormat() const { return ChooseInternalFormat(false); }

void TGLTexture::ApplyTextureParams(GLenum target) {
  GL.glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  GL.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  GL.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  GL.glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  GL.glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  if (IsFloatType()) {
    GL.glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    GL.glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    const bool filtered = GLCaps.ATI_texture_float && textureFormat_ == tfRGBAFloat16;
    GL.glTexParameteri(target, GL_TEXTURE_MIN_FILTER, filtered ? MinFilterToGL(minFilter_) : GL_NEAREST);
    GL.glTexParameteri(target, GL_TEXTURE_MAG_FILTER, filtered ? MagFilterToGL(magFilter_) : GL_NEAREST);
    return;
  }
  const GLenum clamp = GLCaps.Version_1_2 || GLCaps.EXT_texture_edge_clamp ? GL_CLAMP_TO_EDGE : GL_CLAMP;
  const bool clampS = textureWrap_ == twNone || textureWrap_ == twVertical;
  const bool clampT = textureWrap_ == twNone || textureWrap_ == twHorizontal;
  GL.glTexParameteri(target, GL_TEXTURE_WRAP_S, clampS ? clamp : GL_REPEAT);
  GL.glTexParameteri(target, GL_TEXTURE_WRAP_T, clampT ? clamp : GL_REPEAT);
  GL.glTexParameteri(target, GL_TEXTURE_MIN_FILTER, MinFilterToGL(minFilter_));
  GL.glTexParameteri(target, GL_TEXTURE_MAG_FILTER, MagFilterToGL(magFilter_));
  if (GLCaps.EXT_texture_filter_anisotropic)
    GL.glTexParameteri(target, GL_TEXTURE_MAX_ANISOTROPY_EXT, filteringQuality_ == tfIsotropic ? 1 : 2);
}

void TGLTexture::UploadImage(GLenum target) {
  TGLBitmap32* bitmap = image_->GetBitmap32(target);
  if (!bitmap) return;
  TScopeExit release([image = image_.get()] { image->ReleaseBitmap32(); });
  if (bitmap->IsEmpty()) return;
  const GLenum internalFormat = ChooseInternalFormat(true);
  if (textureFormat_ == tfNormalMap)
    bitmap->NormalMapFromGreen(normalMapScale_, textureWrap_ == twBoth || textureWrap_ == twHorizontal,
                               textureWrap_ == twBoth || textureWrap_ == twVertical);
  switch (imageAlpha_) {
    case tiaDefault: break;
    case tiaAlphaFromIntensity:
    case tiaLuminance: bitmap->AlphaFromGrey(); break;
    case tiaSuperBlackTransparent: bitmap->AlphaKeyFromColor(clBlack); break;
    case tiaLuminanceSqrt:
      bitmap->AlphaFromGrey();
      bitmap->AlphaFromGreySqrt();
      break;
    case tiaOpaque: bitmap->FillAlpha(255); break;
    case tiaTopLeftPointColorTransparent: {
      const uint8_t* p = bitmap->Data();  // the first stored pixel: the picture's bottom-left
      bitmap->AlphaKeyFromPixel(p[0], p[1], p[2]);
      break;
    }
    case tiaInverseLuminance:
      bitmap->AlphaFromGrey();
      bitmap->NegateAlpha();
      break;
    case tiaInverseLuminanceSqrt:
      bitmap->AlphaFromGrey();
      bitmap->AlphaFromGreySqrt();
      bitmap->NegateAlpha();
      break;
    default: RTL_ASSERT(false, "Unexpected ImageAlpha");
  }
  if (imageBrightness_ != 1.0f) bitmap->ScaleBrightness(imageBrightness_);
  if (imageGamma_ != 1.0f) bitmap->ApplyGamma(imageGamma_);
  // An error still pending here came from an earlier call (the frame's light set-up, say): it
  // is not this texture's, which must not fail for it.
  DrainGLErrors();
  bitmap->UploadAsTextureSized(target, minFilter_, texWidth_, texHeight_, int(internalFormat));
  // Four bytes a texel, a third more with mipmaps (all six faces of a cube map
  // are uploaded the same way).
  const bool mipmaps = minFilter_ != miNearest && minFilter_ != miLinear;
  int64_t bytes = int64_t(texWidth_) * texHeight_ * 4;
  if (mipmaps) bytes += bytes / 3;
  const bool firstFace =
      target == GL_TEXTURE_2D || target == GL_TEXTURE_RECTANGLE_NV || target == GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB;
  CountUpload(firstFace ? bytes : uploadedBytes_ + bytes);
  GLint size = 0;
  GL.glGetTexLevelParameteriv(target, 0, GL_TEXTURE_COMPRESSED_IMAGE_SIZE_ARB, &size);
  requiredMemory_ = GL.glGetError() == GL_NO_ERROR ? size : -1;
  DrainGLErrors();
}

GLuint TGLTexture::GetTextureHandle() { return PrepareTextureHandle(nullptr, 0); }

namespace {

GLenum BindingQuery(GLenum target) {
  switch (target) {
    case GL_TEXTURE_CUBE_MAP_ARB: return GL_TEXTURE_BINDING_CUBE_MAP_ARB;
    case GL_TEXTURE_RECTANGLE_NV: return GL_TEXTURE_BINDING_RECTANGLE_NV;
    default: return GL_TEXTURE_BINDING_2D;
  }
}

GLuint BoundTexture(GLenum target) {
  GLint bound = 0;
  GL.glGetIntegerv(BindingQuery(target), &bound);
  return GLuint(bound);
}

}  // namespace

// With a cache, the bind goes through it (for the given unit), so the cache stays in line;
// without one, the earlier binding is restored afterwards.
GLuint TGLTexture::PrepareTextureHandle(TGLStateCache* cache, int slot) {
  if (source_) return source_->PrepareTextureHandle(cache, slot);
  if (handle_->Handle() != 0 && !imageChanged_ && !paramsChanged_) return handle_->Handle();
  if (handle_->Handle() == 0) handle_->AllocateName();
  const GLuint name = handle_->Handle();
  RTL_ASSERT(name != 0, "No texture name");
  const GLenum target = image_->NativeTextureTarget();
  const bool cube = target == GL_TEXTURE_CUBE_MAP_ARB;
  // An upload outside the state cache (library preparation in the middle of a pass) puts back
  // the texture bound before, so that the cache's idea of the binding stays true.
  std::optional<GLuint> previous;
  TScopeExit restore([&previous, target] {
    if (previous) GL.glBindTexture(target, *previous);
  });
  if (!cube || GLCaps.ARB_texture_cube_map) {
    if (cache) {
      cache->SetBoundTexture(slot, target, name);
    } else {
      previous = BoundTexture(target);
      GL.glBindTexture(target, name);
    }
    ApplyTextureParams(target);
  }
  imageChanged_ = paramsChanged_ = false;
  if (cube && !GLCaps.ARB_texture_cube_map) return name;
  try {
    if (cube) {
      auto* cubeImage = static_cast<TGLCubeMapImage*>(image_.get());
      const int w = cubeImage->PicturePX()->Width();
      bool square = w > 0;
      for (int i = 0; i < 6 && square; ++i)
        square = cubeImage->Picture(TGLCubeMapTarget(i))->Width() == w &&
                 cubeImage->Picture(TGLCubeMapTarget(i))->Height() == w;
      if (square)
        for (int i = 0; i < 6; ++i) UploadImage(GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB + GLenum(i));
    } else {
      UploadImage(target);
    }
  } catch (...) {
    imageChanged_ = true;  // try the upload again at the next use
    throw;
  }
  image_->ReleaseSourceAfterUpload();
  return name;
}

namespace {

// The model-view matrix of the pass, rotation part orthonormalised.
TMatrix4f OrthonormalModelView(const TRenderContextInfo& rci) {
  TMatrix4f m = rci.modelViewMatrix ? *rci.modelViewMatrix : IdentityHmgMatrix;
  MatrixOrthonormalize(m);
  return m;
}

void LoadTransposed(const TMatrix4f& m) {
  if (GLCaps.ARB_transpose_matrix && GL.glLoadTransposeMatrixfARB) {
    GL.glLoadTransposeMatrixfARB(m.data());
  } else {
    TMatrix4f t = m;
    MatrixTranspose(t);
    GL.glLoadMatrixf(t.data());
  }
}

void MultTransposed(const TMatrix4f& m) {
  if (GLCaps.ARB_transpose_matrix && GL.glMultTransposeMatrixfARB) {
    GL.glMultTransposeMatrixfARB(m.data());
  } else {
    TMatrix4f t = m;
    MatrixTranspose(t);
    GL.glMultMatrixf(t.data());
  }
}

TGLLightSource* FirstLight(const TRenderContextInfo& rci) {
  if (!rci.scene) return nullptr;
  for (int i = 0; i < TGLSceneGraph::LightTableSize; ++i)
    if (TGLLightSource* l = rci.scene->Light(i)) return l;
  return nullptr;
}

}  // namespace

void TGLTexture::LoadCubeMapMatrix(TRenderContextInfo& rci, bool light0, bool camera) {
  GL.glMatrixMode(GL_TEXTURE);
  const TMatrix4f mv = OrthonormalModelView(rci);
  if (light0) {
    if (TGLLightSource* light = FirstLight(rci)) {
      TMatrix4f lm = static_cast<TGLBaseSceneObject*>(light)->AbsoluteMatrix();
      MatrixOrthonormalize(lm);
      LoadTransposed(lm);
      MultTransposed(mv);
    }
  } else if (camera) {
    const TVector4f& dir = rci.cameraDirection;
    const TVector4f& up = rci.cameraUp;
    TMatrix4f m{};
    m[0] = VectorCrossProduct(up, dir);
    m[0][3] = 0;
    m[1] = TVector4f{{-dir[0], -dir[1], -dir[2], 0}};
    m[2] = TVector4f{{up[0], up[1], up[2], 0}};
    m[3] = TVector4f{{0, 0, 0, 1}};
    LoadTransposed(m);
    MultTransposed(mv);
  } else {
    LoadTransposed(mv);
  }
  GL.glMatrixMode(GL_MODELVIEW);
}

void TGLTexture::SetupTextureGeneration(TRenderContextInfo&) {
  auto gen = [](GLenum coord, GLenum mode) { GL.glTexGeni(coord, GL_TEXTURE_GEN_MODE, GLint(mode)); };
  switch (mappingMode_) {
    case tmmUser: return;
    case tmmObjectLinear:
    case tmmEyeLinear: {
      const bool object = mappingMode_ == tmmObjectLinear;
      const GLenum plane = object ? GL_OBJECT_PLANE : GL_EYE_PLANE;
      gen(GL_S, object ? GL_OBJECT_LINEAR : GL_EYE_LINEAR);
      gen(GL_T, object ? GL_OBJECT_LINEAR : GL_EYE_LINEAR);
      GL.glTexGenfv(GL_S, plane, MappingSCoordinates()->AsVector().data());
      GL.glTexGenfv(GL_T, plane, MappingTCoordinates()->AsVector().data());
      GL.glEnable(GL_TEXTURE_GEN_S);
      GL.glEnable(GL_TEXTURE_GEN_T);
      return;
    }
    case tmmSphere:
      gen(GL_S, GL_SPHERE_MAP);
      gen(GL_T, GL_SPHERE_MAP);
      GL.glEnable(GL_TEXTURE_GEN_S);
      GL.glEnable(GL_TEXTURE_GEN_T);
      return;
    default: {
      if (!GLCaps.ARB_texture_cube_map) return;
      const GLenum mode = mappingMode_ == tmmCubeMapReflection || mappingMode_ == tmmCubeMapCamera
                              ? GL_REFLECTION_MAP_ARB
                              : GL_NORMAL_MAP_ARB;
      gen(GL_S, mode);
      gen(GL_T, mode);
      gen(GL_R, mode);
      GL.glEnable(GL_TEXTURE_GEN_S);
      GL.glEnable(GL_TEXTURE_GEN_T);
      GL.glEnable(GL_TEXTURE_GEN_R);
      return;
    }
  }
}

void TGLTexture::UnSetupTextureGeneration() {
  if (mappingMode_ == tmmUser) return;
  GL.glDisable(GL_TEXTURE_GEN_S);
  GL.glDisable(GL_TEXTURE_GEN_T);
  GL.glDisable(GL_TEXTURE_GEN_R);
}

// A picture to upload waits while the pass's upload budget is spent: the
// texture shows its previous picture meanwhile, or none before its first.
// Returns the name to bind, 0 for none.
GLuint TGLTexture::BudgetedHandle(TRenderContextInfo& rci, int slot) {
  if (source_) return source_->BudgetedHandle(rci, slot);
  const bool upload = handle_->Handle() == 0 || imageChanged_ || paramsChanged_;
  if (!upload || !rci.uploadBudget) return PrepareTextureHandle(rci.GLStates, slot);
  if (!rci.uploadBudget->Admit(uploadWaitingSince_)) return handle_->Handle();
  TGLUploadTimer timer(rci.uploadBudget);
  return PrepareTextureHandle(rci.GLStates, slot);
}

void TGLTexture::Apply(TRenderContextInfo& rci) {
  TGLStateCache& cache = *rci.GLStates;
  const GLenum target = ShownImage().NativeTextureTarget();
  const bool cubeMap = target == GL_TEXTURE_CUBE_MAP_ARB && GLCaps.ARB_texture_cube_map;
  GLuint name = 0;
  bool nothingToShow = false;
  if (!disabled_ && (cubeMap || target == GL_TEXTURE_2D || target == GL_TEXTURE_RECTANGLE_NV)) {
    name = BudgetedHandle(rci, 0);
    nothingToShow = name == 0;
  }
  if (disabled_ || nothingToShow) {
    cache.DisableState(stTexture2D);
    cache.DisableState(stTextureRect);
    SetMapTexCoordModeMain();
    return;
  }
  if (target == GL_TEXTURE_2D || target == GL_TEXTURE_RECTANGLE_NV) {
    cache.EnableState(target == GL_TEXTURE_2D ? stTexture2D : stTextureRect);
    cache.SetBoundTexture(0, target, name);
  } else if (cubeMap) {
    cache.EnableState(stTextureCubeMap);
    cache.SetBoundTexture(0, target, name);
    if (mappingMode_ == tmmCubeMapReflection || mappingMode_ == tmmCubeMapNormal)
      LoadCubeMapMatrix(rci, false, false);
    else if (mappingMode_ == tmmCubeMapLight0)
      LoadCubeMapMatrix(rci, true, false);
    else if (mappingMode_ == tmmCubeMapCamera)
      LoadCubeMapMatrix(rci, false, true);
  }
  GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GLint(TextureModeToGL(textureMode_)));
  GL.glTexEnvfv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_COLOR, envColor_->GetColorPtr());
  SetupTextureGeneration(rci);
  SetMapTexCoordModeMain();
}

void TGLTexture::UnApply(TRenderContextInfo& rci) {
  if (disabled_) return;
  TGLStateCache& cache = *rci.GLStates;
  if (cache.StateEnabled(stTextureCubeMap)) {
    cache.DisableState(stTextureCubeMap);
    GL.glMatrixMode(GL_TEXTURE);
    GL.glLoadIdentity();
    GL.glMatrixMode(GL_MODELVIEW);
  } else if (cache.StateEnabled(stTexture2D)) {
    cache.DisableState(stTexture2D);
  } else {
    cache.DisableState(stTextureRect);
  }
  UnSetupTextureGeneration();
}

void TGLTexture::ApplyAsTexture2(TRenderContextInfo& rci, TGLLibMaterial* libMaterial) {
  ApplyAsTextureN(2, rci, libMaterial);
}

void TGLTexture::UnApplyAsTexture2(TRenderContextInfo& rci, TGLLibMaterial* libMaterial) {
  UnApplyAsTextureN(2, rci, libMaterial);
}

void TGLTexture::ApplyAsTextureN(int n, TRenderContextInfo& rci, TGLLibMaterial* libMaterial) {
  if (disabled_ || !GL.glActiveTextureARB || n < 1 || n > TGLStateCache::TextureSlotCount) return;
  GL.glActiveTextureARB(GL_TEXTURE0_ARB + GLenum(n - 1));
  const GLenum target = ShownImage().NativeTextureTarget();
  // A failed upload leaves the unit off and unit 0 selected, as an unapplied texture would;
  // so does a first picture that waits for the upload budget.
  auto bind = [&] {
    GLuint name = 0;
    try {
      name = BudgetedHandle(rci, n - 1);
    } catch (...) {
      GL.glDisable(target);
      GL.glActiveTextureARB(GL_TEXTURE0_ARB);
      throw;
    }
    if (name == 0) {
      GL.glDisable(target);
      GL.glActiveTextureARB(GL_TEXTURE0_ARB);
      return false;
    }
    rci.GLStates->SetBoundTexture(n - 1, target, name);
    return true;
  };
  if (target == GL_TEXTURE_CUBE_MAP_ARB) {
    if (GLCaps.ARB_texture_cube_map) {
      GL.glEnable(target);
      if (!bind()) return;
      LoadCubeMapMatrix(rci, false, false);
    }
  } else {
    GL.glEnable(target);
    if (!bind()) return;
    if (libMaterial && !libMaterial->TextureMatrixIsIdentity()) {
      GL.glMatrixMode(GL_TEXTURE);
      GL.glLoadMatrixf(libMaterial->TextureMatrix().data());
      GL.glMatrixMode(GL_MODELVIEW);
    }
  }
  GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GLint(TextureModeToGL(textureMode_)));
  GL.glTexEnvfv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_COLOR, envColor_->GetColorPtr());
  SetupTextureGeneration(rci);
  GL.glActiveTextureARB(GL_TEXTURE0_ARB);
}

void TGLTexture::UnApplyAsTextureN(int n, TRenderContextInfo&, TGLLibMaterial* libMaterial) {
  if (disabled_ || !GL.glActiveTextureARB || n < 1 || n > TGLStateCache::TextureSlotCount) return;
  GL.glActiveTextureARB(GL_TEXTURE0_ARB + GLenum(n - 1));
  UnSetupTextureGeneration();
  const GLenum target = ShownImage().NativeTextureTarget();
  if (target != GL_TEXTURE_2D || (libMaterial && !libMaterial->TextureMatrixIsIdentity())) {
    GL.glMatrixMode(GL_TEXTURE);
    GL.glLoadIdentity();
    GL.glMatrixMode(GL_MODELVIEW);
  }
  GL.glDisable(target);
  GL.glActiveTextureARB(GL_TEXTURE0_ARB);
}

// ---- TGLTextureExItem / TGLTextureEx -----------------------------------------------------

TGLTextureExItem::TGLTextureExItem(TCollection* ACollection)
    : TCollectionItem(ACollection),
      texture_(std::make_unique<TGLTexture>(this)),
      textureIndex_(ID()),
      offset_(std::make_unique<TGLCoordinates>(this, TVector4f{{0, 0, 0, 0}}, csPoint)),
      scale_(std::make_unique<TGLCoordinates>(this, TVector4f{{1, 1, 1, 0}}, csVector)),
      textureMatrix_(IdentityHmgMatrix) {
  auto changed = [this](TObject*) {
    CalculateTextureMatrix();
    NotifyChange(this);
  };
  offset_->OnNotifyChange = changed;
  scale_->OnNotifyChange = changed;
}

TGLTextureExItem::~TGLTextureExItem() = default;

void TGLTextureExItem::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLTextureExItem>()) {
    auto* src = static_cast<TGLTextureExItem*>(Source);
    texture_->Assign(src->texture_.get());
    textureIndex_ = src->textureIndex_;
    offset_->Assign(src->offset_.get());
    scale_->Assign(src->scale_.get());
    CalculateTextureMatrix();
    NotifyChange(this);
  } else {
    inherited::Assign(Source);
  }
}

std::string TGLTextureExItem::GetDisplayName() { return Format("Tex [%d]", textureIndex_); }

void TGLTextureExItem::SetTexture(TGLTexture* v) {
  texture_->Assign(v);
  NotifyChange(this);
}

void TGLTextureExItem::SetTextureIndex(int v) {
  v = std::max(v, 0);
  if (v != textureIndex_) {
    textureIndex_ = v;
    NotifyChange(this);
  }
}

void TGLTextureExItem::SetTextureOffset(TGLCoordinates* v) {
  offset_->Assign(v);
  CalculateTextureMatrix();
  NotifyChange(this);
}

void TGLTextureExItem::SetTextureScale(TGLCoordinates* v) {
  scale_->Assign(v);
  CalculateTextureMatrix();
  NotifyChange(this);
}

void TGLTextureExItem::CalculateTextureMatrix() {
  textureMatrixIsIdentity_ =
      offset_->EqualsVector(TVector4f{{0, 0, 0, 0}}) && scale_->EqualsVector(TVector4f{{1, 1, 1, 0}});
  textureMatrix_ = textureMatrixIsIdentity_ ? IdentityHmgMatrix
                                            : CreateScaleAndTranslationMatrix(scale_->AsVector(), offset_->AsVector());
}

TGLMaterial* TGLTextureExItem::Material() const {
  TCollection* c = Collection();
  return c && c->Is<TGLTextureEx>() ? static_cast<TGLTextureEx*>(c)->Material() : nullptr;
}

void TGLTextureExItem::NotifyChange(TObject*) {
  if (TGLMaterial* m = Material()) m->NotifyChange(this);
}

void TGLTextureExItem::Apply(TRenderContextInfo& rci) {
  applied_ = false;
  if (!texture_->Enabled()) return;
  GL.glActiveTextureARB(GL_TEXTURE0_ARB + GLenum(textureIndex_));
  GL.glMatrixMode(GL_TEXTURE);
  GL.glPushMatrix();
  if (textureMatrixIsIdentity_)
    GL.glLoadIdentity();
  else
    GL.glLoadMatrixf(textureMatrix_.data());
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glActiveTextureARB(GL_TEXTURE0_ARB);
  try {
    if (textureIndex_ == 0)
      texture_->Apply(rci);
    else if (textureIndex_ == 1)
      texture_->ApplyAsTexture2(rci, nullptr);
    else
      texture_->ApplyAsTextureN(textureIndex_ + 1, rci, nullptr);
  } catch (...) {
    PopTextureMatrix();
    throw;
  }
  applied_ = true;
}

void TGLTextureExItem::PopTextureMatrix() {
  GL.glActiveTextureARB(GL_TEXTURE0_ARB + GLenum(textureIndex_));
  GL.glMatrixMode(GL_TEXTURE);
  GL.glPopMatrix();
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glActiveTextureARB(GL_TEXTURE0_ARB);
}

void TGLTextureExItem::UnApply(TRenderContextInfo& rci) {
  if (!applied_) return;
  if (textureIndex_ == 0)
    texture_->UnApply(rci);
  else if (textureIndex_ == 1)
    texture_->UnApplyAsTexture2(rci, nullptr);
  else
    texture_->UnApplyAsTextureN(textureIndex_ + 1, rci, nullptr);
  PopTextureMatrix();
  applied_ = false;
}

TGLTextureEx::TGLTextureEx(TGLMaterial* AOwner)
    : TOwnedCollection(AOwner, TGLTextureExItem::StaticClass()), material_(AOwner) {}

bool TGLTextureEx::IsTextureEnabled(const TGLTextureEx* ex, int index) {
  if (!ex) return false;
  for (int i = 0; i < ex->Count(); ++i) {
    const TGLTextureExItem* item = ex->Items(i);
    if (item->TextureIndex() == index && item->Texture()->Enabled()) return true;
  }
  return false;
}

void TGLTextureEx::Apply(TRenderContextInfo& rci) {
  if (!GLCaps.ARB_multitexture || !GL.glActiveTextureARB) return;
  // Items without a texture to show (a label not drawn yet) ask the driver nothing.
  bool any = false;
  for (int i = 0; i < Count() && !any; ++i) any = Items(i)->Texture()->Enabled();
  if (!any) return;
  GLint maxUnits = 0;
  GL.glGetIntegerv(GL_MAX_TEXTURE_UNITS_ARB, &maxUnits);
  maxUnits = std::min<GLint>(maxUnits, TGLStateCache::TextureSlotCount);
  unsigned mask = 0;
  auto used = [&](const TGLTextureExItem* item) {
    return item->TextureIndex() < maxUnits && item->Texture()->Enabled();
  };
  for (int i = 0; i < Count(); ++i) {
    TGLTextureExItem* item = Items(i);
    if (!used(item)) continue;
    // Of several items on one unit only the last is applied: it is the one that would show,
    // and each application pushes the unit's texture matrix (GL promises a depth of 2).
    bool overridden = false;
    for (int j = i + 1; j < Count() && !overridden; ++j)
      overridden = Items(j)->TextureIndex() == item->TextureIndex() && used(Items(j));
    if (overridden) continue;
    applied_ = true;  // also when the item fails half-way: UnApply then takes off what it did
    item->Apply(rci);
    if (item->TextureIndex() > 0 && item->Texture()->MappingMode() == tmmUser) mask |= 1u << item->TextureIndex();
  }
  if (mask) AddMapTexCoordUnits(mask);
}

void TGLTextureEx::UnApply(TRenderContextInfo& rci) {
  // Nothing applied (no item with a texture to show): the items are not visited.
  if (!applied_) return;
  applied_ = false;
  for (int i = 0; i < Count(); ++i) Items(i)->UnApply(rci);
}

void TGLTextureEx::Loaded() {
  for (int i = 0; i < Count(); ++i) Items(i)->CalculateTextureMatrix();
}

// ---- registration ------------------------------------------------------------------------

void RegisterGLTextureClasses() {
  InitSystemColorVectors();
  RegisterGLColorClasses();
  for (TClass c : {TGLBlankImage::StaticClass(), TGLPersistentImage::StaticClass(), TGLPicFileImage::StaticClass(),
                   TGLCubeMapImage::StaticClass(), TGLFloatDataImage::StaticClass()})
    if (!FindTextureImageClass(c->Name)) RegisterTextureImageClass(c);
  RegisterGLMaterialClasses();
  if (GraphicExtensions().extensions.empty()) RegisterGraphicExtension(".bmp", TBitmap::StaticClass());

  RegisterClasses({TGLBlankImage::StaticClass(), TGLPersistentImage::StaticClass(), TGLPicFileImage::StaticClass(),
                   TGLCubeMapImage::StaticClass(), TGLFloatDataImage::StaticClass(), TGLTexture::StaticClass(),
                   TGLTextureExItem::StaticClass(), TGLTextureEx::StaticClass()});
  TPublished<TGLBlankImage>()
      .Integer("Width", &TGLBlankImage::Width, &TGLBlankImage::SetWidth, 256)
      .Integer("Height", &TGLBlankImage::Height, &TGLBlankImage::SetHeight, 256);
  TPublished<TGLFloatDataImage>()
      .Integer("Width", &TGLFloatDataImage::Width, &TGLFloatDataImage::SetWidth, 256)
      .Integer("Height", &TGLFloatDataImage::Height, &TGLFloatDataImage::SetHeight, 256);
  TPublished<TGLPicFileImage>().String("PictureFileName", &TGLPicFileImage::PictureFileName,
                                       &TGLPicFileImage::SetPictureFileName);
  TPublished<TGLTexture>()
      .String("ImageClassName", &TGLTexture::ImageClassName, &TGLTexture::SetImageClassName)
      .StoredIf([](TGLTexture* t) { return !t->Image()->Is<TGLPersistentImage>(); })
      .Object("Image", &TGLTexture::Image)
      .Enum("ImageAlpha", &TGLTexture::ImageAlpha, &TGLTexture::SetImageAlpha,
            {"tiaDefault", "tiaAlphaFromIntensity", "tiaSuperBlackTransparent", "tiaLuminance", "tiaLuminanceSqrt",
             "tiaOpaque", "tiaTopLeftPointColorTransparent", "tiaInverseLuminance", "tiaInverseLuminanceSqrt"},
            tiaDefault)
      .Float("ImageBrightness", &TGLTexture::ImageBrightness, &TGLTexture::SetImageBrightness, 1.0)
      .Float("ImageGamma", &TGLTexture::ImageGamma, &TGLTexture::SetImageGamma, 1.0)
      .Enum("MagFilter", &TGLTexture::MagFilter, &TGLTexture::SetMagFilter, {"maNearest", "maLinear"}, maLinear)
      .Enum("MinFilter", &TGLTexture::MinFilter, &TGLTexture::SetMinFilter,
            {"miNearest", "miLinear", "miNearestMipmapNearest", "miLinearMipmapNearest", "miNearestMipmapLinear",
             "miLinearMipmapLinear"},
            miLinearMipmapLinear)
      .Enum("TextureMode", &TGLTexture::TextureMode, &TGLTexture::SetTextureMode,
            {"tmDecal", "tmModulate", "tmBlend", "tmReplace"}, tmDecal)
      .Enum("TextureWrap", &TGLTexture::TextureWrap, &TGLTexture::SetTextureWrap,
            {"twBoth", "twNone", "twVertical", "twHorizontal"}, twBoth)
      .Enum("TextureFormat", &TGLTexture::TextureFormat, &TGLTexture::SetTextureFormat,
            {"tfDefault", "tfRGB", "tfRGBA", "tfRGB16", "tfRGBA16", "tfAlpha", "tfLuminance", "tfLuminanceAlpha",
             "tfIntensity", "tfNormalMap", "tfRGBAFloat16", "tfRGBAFloat32"},
            tfDefault)
      .Enum("Compression", &TGLTexture::Compression, &TGLTexture::SetCompression,
            {"tcDefault", "tcNone", "tcStandard", "tcHighQuality", "tcHighSpeed"}, tcDefault)
      .Enum("FilteringQuality", &TGLTexture::FilteringQuality, &TGLTexture::SetFilteringQuality,
            {"tfIsotropic", "tfAnisotropic"}, tfIsotropic)
      .Enum("MappingMode", &TGLTexture::MappingMode, &TGLTexture::SetMappingMode,
            {"tmmUser", "tmmObjectLinear", "tmmEyeLinear", "tmmSphere", "tmmCubeMapReflection", "tmmCubeMapNormal",
             "tmmCubeMapLight0", "tmmCubeMapCamera"},
            tmmUser)
      .Object("MappingSCoordinates", &TGLTexture::MappingSCoordinates)
      .StoredIf([](TGLTexture* t) { return t->MappingSCoordinatesIfAny() != nullptr; })
      .Object("MappingTCoordinates", &TGLTexture::MappingTCoordinates)
      .StoredIf([](TGLTexture* t) { return t->MappingTCoordinatesIfAny() != nullptr; })
      .Boolean("Disabled", &TGLTexture::Disabled, &TGLTexture::SetDisabled, true)
      .Object("EnvColor", &TGLTexture::EnvColor)
      .Float("NormalMapScale", &TGLTexture::NormalMapScale, &TGLTexture::SetNormalMapScale, 0.125);
  TPublished<TGLTextureExItem>()
      .Object("Texture", &TGLTextureExItem::Texture)
      .Integer("TextureIndex", &TGLTextureExItem::TextureIndex, &TGLTextureExItem::SetTextureIndex, std::nullopt)
      .Object("TextureOffset", &TGLTextureExItem::TextureOffset)
      .Object("TextureScale", &TGLTextureExItem::TextureScale);
}
