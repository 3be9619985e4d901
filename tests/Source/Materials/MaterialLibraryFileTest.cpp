// Tests of what a material library writes against what it reads: images without pixels (blank and
// float-data) at any size their setters or text files give, pictures past the reader's budget
// refused by the writer.
#include <gtest/gtest.h>

#include <QImage>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <malloc.h>
#include <memory>
#include <vector>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Source/Materials/GLMaterial.h"
#include "rtl/Streaming.h"
#include "tests/common/TempFolder.h"

namespace {

struct MaterialLibraryFile : ::testing::Test {
  void SetUp() override { RegisterGLTextureClasses(); }
};

TGLTexture* KeptTexture(TGLMaterialLibrary& lib, const char* imageClass, int width, int height) {
  TGLTexture* t = lib.Materials()->Add()->Material()->Texture();
  t->SetImageClassName(imageClass);
  if (auto* blank = dynamic_cast<TGLBlankImage*>(t->Image())) {
    blank->SetWidth(width);
    blank->SetHeight(height);
  } else if (auto* data = dynamic_cast<TGLFloatDataImage*>(t->Image())) {
    data->SetWidth(width);
    data->SetHeight(height);
  }
  t->SetDisabled(false);
  return t;
}

// Images that hold no pixels (until used) take nothing from the pictures' budget, and any size
// their setters take, or their text file gives (Width=0), is read back: five 4096 x 4096 blanks, a
// 16384 x 8192 float-data image and a blank read with Width=0, beside a material with a picture.
TEST_F(MaterialLibraryFile, ImagesWithoutPixelsAtEverySizeTheSettersTakeLoadBack) {
  TTestFolder dir("library");
  TGLMaterialLibrary lib(nullptr);
  for (int i = 0; i < 5; ++i) KeptTexture(lib, "TGLBlankImage", 4096, 4096);
  KeptTexture(lib, "TGLFloatDataImage", 16384, 8192);
  TGLTexture* zero = KeptTexture(lib, "TGLBlankImage", 1, 1);
  {
    FILE* f = std::fopen((dir / "zero.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("[BlankImage]\r\nWidth=0\r\nHeight=16\r\n", f);
    std::fclose(f);
  }
  zero->Image()->LoadFromFile(dir / "zero.txt");
  ASSERT_EQ(zero->Image()->GetWidth(), 0);
  TGLLibMaterial* pictured = lib.Materials()->Add();
  pictured->SetName("pictured");
  auto picture = std::make_unique<TBitmap>(4, 4, pf24bit);
  pictured->Material()->Texture()->Image()->Assign(picture.get());

  TMemoryStream ms;
  lib.SaveToStream(&ms);
  TGLMaterialLibrary back(nullptr);
  ms.SetPosition(0);
  ASSERT_NO_THROW(back.LoadFromStream(&ms));
  ASSERT_EQ(back.Materials()->Count(), 8);
  for (int i = 0; i < 5; ++i) {
    TGLTextureImage* image = back.Materials()->Items(i)->Material()->Texture()->Image();
    ASSERT_TRUE(image->Is<TGLBlankImage>()) << i;
    EXPECT_EQ(image->GetWidth(), 4096);
    EXPECT_EQ(image->GetHeight(), 4096);
  }
  TGLTextureImage* data = back.Materials()->Items(5)->Material()->Texture()->Image();
  ASSERT_TRUE(data->Is<TGLFloatDataImage>());
  EXPECT_EQ(data->GetWidth(), 16384);
  EXPECT_EQ(data->GetHeight(), 8192);
  // A side of 0 comes back through the setter, as 1.
  TGLTextureImage* zeroBack = back.Materials()->Items(6)->Material()->Texture()->Image();
  EXPECT_EQ(zeroBack->GetWidth(), 1);
  EXPECT_EQ(zeroBack->GetHeight(), 16);
  EXPECT_EQ(back.Materials()->Items(7)->Name(), "pictured");
  EXPECT_EQ(back.Materials()->Items(7)->Material()->Texture()->Image()->GetWidth(), 4);

  // A size no setter or file gives is damage, refused with its material's name; nothing is loaded.
  std::string bytes = ms.Size() ? std::string(static_cast<const char*>(ms.Memory()), size_t(ms.Size())) : "";
  const std::string size = std::string("\x03\x00\x40\x03\x00\x20", 6);  // 16384, 8192
  const size_t at = bytes.find(size);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2] = 0x41;  // 16640
  TStringStream damaged(bytes);
  try {
    back.LoadFromStream(&damaged);
    ADD_FAILURE() << "a side past the largest was read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Texture of material 'LibMaterial5' refused: Invalid image size 16640 x 8192");
  }
  EXPECT_EQ(back.Materials()->Count(), 8);
}

// A graphic that says it is large and holds nothing: the writer's count, not its memory.
class TClaimedGraphic : public TGraphic {
  RTL_CLASS(TClaimedGraphic, TGraphic)
 public:
  TClaimedGraphic(int w, int h) : w_(w), h_(h) {}
  int Width() const override { return w_; }
  int Height() const override { return h_; }
  void LoadFromStream(TStream&) override {}
  void SaveToStream(TStream&) const override { ADD_FAILURE() << "encoded"; }
  QImage ToImage() const override { return QImage(); }

 private:
  int w_, h_;
};

// Pictures past what one library load reads are refused by the writer before anything is written,
// counted as the reader counts them (every texture's picture and cube-map faces), each before it is
// encoded.
TEST_F(MaterialLibraryFile, PicturesPastTheReadersBudgetAreNotWritten) {
  TGLMaterialLibrary lib(nullptr);
  auto small = std::make_unique<TBitmap>(8, 8, pf24bit);
  lib.Materials()->Add()->Material()->Texture()->Image()->Assign(small.get());
  TGLMaterial* second = lib.Materials()->Add()->Material();
  second->Texture()->SetImageClassName("TGLCubeMapImage");
  auto* cube = static_cast<TGLCubeMapImage*>(second->Texture()->Image());
  cube->Picture(cmtPX)->TakeGraphic(std::make_unique<TClaimedGraphic>(8192, 8192));  // the whole budget
  second->Texture()->SetDisabled(false);
  ASSERT_EQ(int64_t(8192) * 8192, MaxLibraryLoadTexels);
  TMemoryStream ms;
  try {
    lib.SaveToStream(&ms);
    ADD_FAILURE() << "written";
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "The pictures of this library pass the 67,108,864 texels (256 MB) a library file reads");
  }
  EXPECT_EQ(ms.Size(), 0);
}

// Bytes the heap holds now (small blocks and large mapped ones); 0 where the allocator does not say
// (the sanitizer build).
size_t HeapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A picture-file texture shown (read, uploaded, its pixels let go) holds nothing of its file in
// memory, and still saves the picture shown after the file was replaced or removed.
TEST_F(MaterialLibraryFile, APictureFileShownHoldsNoCopyOfItsFile) {
  TTestFolder dir("picfile");
  const std::string path = dir / "big.bmp";
  {
    TBitmap big(1024, 1024, pf24bit);  // 3 MB of file
    big.Canvas().Brush().SetColor(clBlue);
    big.Canvas().FillRect(Rect(0, 0, 1024, 1024));
    big.Canvas().SetPixel(1, 2, clRed);
    big.SaveToFile(path);
  }
  TGLMaterialLibrary lib(nullptr);
  std::vector<TGLPicFileImage*> images;
  for (int i = 0; i < 4; ++i) {
    TGLTexture* t = lib.Materials()->Add()->Material()->Texture();
    t->SetImageClassName("TGLPicFileImage");
    images.push_back(static_cast<TGLPicFileImage*>(t->Image()));
    images.back()->SetPictureFileName(path);
    t->SetDisabled(false);
  }
  const size_t before = HeapInUse();  // 0: the allocator does not tell (the memory is not checked)
  for (TGLPicFileImage* image : images) {
    ASSERT_NE(image->GetBitmap32(GL_TEXTURE_2D), nullptr);  // shown, as for an upload
    image->ReleaseBitmap32();                               // as after the upload
    image->ReleaseSourceAfterUpload();
  }
  const size_t after = HeapInUse();
  if (before != 0) {
    EXPECT_LT(after, before + (1u << 20)) << "held: " << (after - before) << " bytes for 4 files of 3 MB";
  }

  // Replaced (as a save replaces a file), then removed: the picture shown is what is saved.
  {
    TBitmap green(8, 8, pf24bit);
    green.Canvas().Brush().SetColor(clLime);
    green.Canvas().FillRect(Rect(0, 0, 8, 8));
    green.SaveToFile(path);
  }
  ASSERT_EQ(std::remove(path.c_str()), 0);
  TMemoryStream ms;
  lib.SaveToStream(&ms);
  TGLMaterialLibrary back(nullptr);
  ms.SetPosition(0);
  back.LoadFromStream(&ms);
  auto* picture = static_cast<TGLPictureImage*>(back.Materials()->Items(3)->Material()->Texture()->Image());
  ASSERT_EQ(picture->GetWidth(), 1024);
  EXPECT_EQ(static_cast<TBitmap*>(picture->Picture()->Graphic())->Canvas().Pixel(1, 2), clRed);
}

// With a descriptor limit of 256, 40 sockets open and 300 picture files shown, the pictures keep
// handles within their share (an eighth) and the program can still open files; nothing is lost:
// every picture saves, and one without a handle whose file was replaced says so.
TEST_F(MaterialLibraryFile, PictureFilesShownKeepHandlesWithinTheirShareOfDescriptors) {
  struct rlimit was {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
  if (was.rlim_cur < 256) GTEST_SKIP() << "descriptor limit below 256";
  struct rlimit low = was;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  TScopeExit restoreLimit([&] { ::setrlimit(RLIMIT_NOFILE, &was); });
  EXPECT_EQ(MaxShownFileHandles(), 32);
  auto openDescriptors = [] {
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(it, std::filesystem::directory_iterator()));
  };
  std::vector<int> fds;  // sockets, then logs: the rest of the program
  TScopeExit closeAll([&] {
    for (int fd : fds) ::close(fd);
  });
  for (int i = 0; i < 40; ++i) fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));

  TTestFolder dir("handles");
  TGLMaterialLibrary lib(nullptr);
  const int before = openDescriptors();
  for (int i = 0; i < 300; ++i) {
    const std::string path = dir / ("p" + std::to_string(i) + ".bmp");
    TBitmap(4, 4, pf24bit).SaveToFile(path);
    TGLTexture* t = lib.Materials()->Add()->Material()->Texture();
    t->SetImageClassName("TGLPicFileImage");
    static_cast<TGLPicFileImage*>(t->Image())->SetPictureFileName(path);
    t->SetDisabled(false);
    ASSERT_NE(t->Image()->GetBitmap32(GL_TEXTURE_2D), nullptr) << i;  // shown, as for an upload
    t->Image()->ReleaseBitmap32();
  }
  EXPECT_LE(openDescriptors() - before, 32);
  for (int i = 0; i < 16; ++i) {
    fds.push_back(::open((dir / ("log" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_GE(fds.back(), 0) << i << ": " << std::strerror(errno);
  }
  TMemoryStream saved;  // every picture read (one that cannot be read fails the save)
  EXPECT_NO_THROW(lib.SaveToStream(&saved));
  // The last picture keeps no handle: its file replaced by another is told.
  const std::string last = dir / "p299.bmp";
  ASSERT_EQ(std::rename((dir / "p0.bmp").c_str(), last.c_str()), 0);
  try {
    lib.SaveToStream(&saved);
    ADD_FAILURE() << "saved another picture than the one shown";
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "Picture file changed since it was shown: " + last + " (replaced by another file)");
  }
}

}  // namespace
