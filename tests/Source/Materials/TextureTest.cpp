// Tests of texture images and textures: image kinds and files, the class registry, lazy upload
// and re-upload, format tables, failed uploads, stored pictures.
#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Source/Scene/GLContext.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLState.h"
#include "Source/Materials/GLTexture.h"
#include "platform/Jpeg.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/CurrentNullContext.h"
#include "tests/Source/BookkeepingContext.h"

// Defined with the colour tests.
void CopyThroughStoredForm(TPersistent* from, TPersistent* to);

TCurrentNullContext::TCurrentNullContext() : context_(std::make_unique<TBookkeepingContext>()) {
  GL.glGenTextures = [](GLsizei n, GLuint* names) {
    static GLuint next = 100;
    for (GLsizei i = 0; i < n; ++i) names[i] = next++;
  };
  context_->CreateOffScreen(nullptr, 1, 1);
  context_->ActivateNested();
}

TCurrentNullContext::~TCurrentNullContext() { context_->DeactivateNested(); }

namespace {

// Recorded GL with a current fake context.
struct TRecordedGL {
  TGLRecorder rec;
  TCurrentNullContext context;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TRecordedGL() { rci.GLStates = &cache; }
  std::vector<GLenum> ParamValues(GLenum pname) const {
    std::vector<GLenum> out;
    for (const auto& c : rec.CallsTo("glTexParameteri"))
      if (GLenum(c.Args[1]) == pname) out.push_back(GLenum(c.Args[2]));
    return out;
  }
};

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& file, const std::string& data) {
  std::ofstream(file, std::ios::binary).write(data.data(), std::streamsize(data.size()));
}

// A w x h 24-bit BMP file, top-left pixel red, the rest blue.
void WriteBmp(const std::string& file, int w, int h) {
  TBitmap b(w, h, pf24bit);
  b.Canvas().Brush().SetColor(clBlue);
  b.Canvas().FillRect(Rect(0, 0, w, h));
  b.Canvas().SetPixel(0, 0, clRed);
  b.SaveToFile(file);
}

struct TTextureUnit : ::testing::Test {
  void SetUp() override { RegisterGLTextureClasses(); }
  QTemporaryDir dir;
  std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
};

using TextureImage = TTextureUnit;
using Texture = TTextureUnit;

TEST_F(TextureImage, BlankImageTextFormAndSizes) {
  TGLTexture t(nullptr);
  t.SetImageClassName("TGLBlankImage");
  auto* blank = static_cast<TGLBlankImage*>(t.Image());
  blank->SetWidth(300);
  blank->SetHeight(7);
  blank->SaveToFile(Path("b.txt"));
  EXPECT_EQ(ReadAll(Path("b.txt")), "[BlankImage]\r\nWidth=300\r\nHeight=7");

  TGLBlankImage other(nullptr);
  other.LoadFromFile(Path("b.txt"));
  EXPECT_EQ(other.Width(), 300);
  EXPECT_EQ(other.Height(), 7);
  EXPECT_EQ(other.FriendlyDescription(), "Blank Image (Width x Height)");

  WriteAll(Path("zero.txt"), "[BlankImage]\r\nWidth=0\r\nHeight=-5");
  other.LoadFromFile(Path("zero.txt"));  // stored as written, negative as 0
  EXPECT_EQ(other.Width(), 0);
  EXPECT_EQ(other.Height(), 0);
  WriteAll(Path("huge.txt"), "[BlankImage]\r\nWidth=100000\r\nHeight=100000");
  EXPECT_THROW(other.LoadFromFile(Path("huge.txt")), ETexture);
  EXPECT_EQ(other.Width(), 0);

  other.SetWidth(-5);
  other.SetHeight(0);  // already 0: no change
  EXPECT_EQ(other.Height(), 0);
  other.SetHeight(-2);
  EXPECT_EQ(other.Width(), 1);
  EXPECT_EQ(other.Height(), 1);
  TGLBitmap32* bmp = other.GetBitmap32(GL_TEXTURE_2D);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp->Data()[0], 0);  // zero-filled

  try {
    other.LoadFromFile(Path("missing.txt"));
    FAIL();
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "Could not open file: " + Path("missing.txt"));
  }

  TGLFloatDataImage f(nullptr);
  f.SaveToFile(Path("f.txt"));
  EXPECT_EQ(ReadAll(Path("f.txt")), "[FloatDataImage]\r\nWidth=256\r\nHeight=256");
  EXPECT_EQ(f.NativeTextureTarget(), GLenum(GL_TEXTURE_RECTANGLE_NV));
}

TEST_F(TextureImage, TextureNeededMayRewriteTheName) {
  WriteAll(Path("real.txt"), "[BlankImage]\r\nWidth=8\r\nHeight=9");
  TRecordedGL gl;
  TGLTexture t(nullptr);
  t.SetImageClassName("TGLBlankImage");
  std::string asked;
  t.OnTextureNeeded = [&](TObject*, std::string& name) {
    asked = name;
    name = Path("real.txt");
  };
  t.GetTextureHandle();
  ASSERT_FALSE(t.ImageChanged());
  t.Image()->LoadFromFile("alias.txt");
  EXPECT_EQ(asked, "alias.txt");
  EXPECT_EQ(t.Image()->GetWidth(), 8);
  EXPECT_TRUE(t.ImageChanged());
}

TEST_F(TextureImage, PictureFilePointersAndMissingFileReportedOnce) {
  TGLPicFileImage img(nullptr);
  std::string path = "Images/host.bmp";
  path.resize(100, ' ');
  WriteAll(Path("ptr.txt"), path);
  img.LoadFromFile(Path("ptr.txt"));
  EXPECT_EQ(img.PictureFileName(), path);
  WriteAll(Path("ptr2.txt"), "Images/a.bmp\r\n");
  img.LoadFromFile(Path("ptr2.txt"));
  EXPECT_EQ(img.PictureFileName(), "Images/a.bmp");
  std::string withNul(100, 'x');
  withNul[50] = '\0';
  WriteAll(Path("nul.bin"), withNul);
  img.LoadFromFile(Path("nul.bin"));
  EXPECT_EQ(img.PictureFileName(), Path("nul.bin"));
  WriteAll(Path("big.bin"), std::string(600, 'y'));
  img.LoadFromFile(Path("big.bin"));
  EXPECT_EQ(img.PictureFileName(), Path("big.bin"));

  img.SetPictureFileName(Path("gone.bmp"));
  EXPECT_THROW(img.GetBitmap32(GL_TEXTURE_2D), ETexture);
  img.ReleaseBitmap32();
  TGLBitmap32* empty = img.GetBitmap32(GL_TEXTURE_2D);  // second time: silent
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->IsEmpty());
  img.SetPictureFileName(Path("gone2.bmp"));
  EXPECT_THROW(img.GetBitmap32(GL_TEXTURE_2D), ETexture);
  // A file that exists but cannot be decoded is reported the same way, once.
  WriteAll(Path("bad.bmp"), "BM not really");
  img.SetPictureFileName(Path("bad.bmp"));
  try {
    img.GetBitmap32(GL_TEXTURE_2D);
    FAIL();
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "Could not open file: " + Path("bad.bmp"));
  }
  img.ReleaseBitmap32();
  EXPECT_TRUE(img.GetBitmap32(GL_TEXTURE_2D)->IsEmpty());

  WriteBmp(Path("pic.bmp"), 4, 2);
  img.SetPictureFileName(Path("pic.bmp"));
  TGLBitmap32* bmp = img.GetBitmap32(GL_TEXTURE_2D);
  EXPECT_EQ(bmp->Width(), 4);
  EXPECT_EQ(img.Picture()->Width(), 0);  // the pixels live only in the bitmap
  img.SaveToFile(Path("saved.txt"));
  EXPECT_EQ(ReadAll(Path("saved.txt")), Path("pic.bmp"));
}

TEST_F(TextureImage, PersistentImageFilesAndRowOrder) {
  TGLPersistentImage img(nullptr);
  try {
    img.LoadFromFile("nope.bmp");
    FAIL();
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "Could not open file: nope.bmp");
  }
  EXPECT_EQ(img.GetWidth(), 0);

  WriteBmp(Path("UPPER.BMP"), 4, 3);
  auto g = LoadGraphicFromFile(Path("UPPER.BMP"));
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->Is<TBitmap>());
  EXPECT_EQ(LoadGraphicFromFile(Path("missing.bmp")), nullptr);
  WriteAll(Path("x.unknown"), "data");
  EXPECT_EQ(LoadGraphicFromFile(Path("x.unknown")), nullptr);
  WriteAll(Path("bad.bmp"), "BM not really");
  EXPECT_THROW(img.LoadFromFile(Path("bad.bmp")), ETexture);

  img.LoadFromFile(Path("UPPER.BMP"));
  EXPECT_EQ(img.GetWidth(), 4);
  TGLBitmap32* bmp = img.GetBitmap32(GL_TEXTURE_2D);
  // Rows are stored bottom first: the picture's top-left pixel starts the last row.
  const uint8_t* top = bmp->RowAddress(bmp->Height() - 1);
  EXPECT_EQ(top[0], 255);
  EXPECT_EQ(top[2], 0);
  EXPECT_EQ(bmp->Data()[2], 255);  // bottom-left is blue
}

TEST_F(TextureImage, PersistentImageLoadsJpegFilesWhateverTheExtensionCase) {
  QImage picture(6, 4, QImage::Format_RGB888);
  picture.fill(qRgb(255, 0, 0));
  std::vector<uint8_t> data;
  std::string error;
  ASSERT_TRUE(jpeg::EncodeJpeg(picture, 95, data, error)) << error;
  const std::string bytes(data.begin(), data.end());
  for (const char* name : {"host.jpg", "HOST2.JPEG"}) {
    WriteAll(Path(name), bytes);
    TGLPersistentImage img(nullptr);
    img.LoadFromFile(Path(name));
    EXPECT_EQ(img.GetWidth(), 6) << name;
    EXPECT_EQ(img.GetHeight(), 4) << name;
    TGLBitmap32* bmp = img.GetBitmap32(GL_TEXTURE_2D);
    ASSERT_NE(bmp, nullptr) << name;
    const uint8_t* px = bmp->RowAddress(1);
    EXPECT_GT(px[0], 230) << name;
    EXPECT_LT(px[1], 30) << name;
    EXPECT_LT(px[2], 30) << name;
    EXPECT_EQ(px[3], 255) << name;
  }
  WriteAll(Path("broken.jpg"), "not a picture");
  TGLPersistentImage img(nullptr);
  EXPECT_THROW(img.LoadFromFile(Path("broken.jpg")), ETexture);
}

// A persistent image holding a JPEG picture, saved as ".bmp", is written as a bitmap and loads
// again from that file; an empty one saves nothing and says so.
TEST_F(TextureImage, PersistentImageSavesInTheFormatOfItsFileName) {
  WriteBmp(Path("host.bmp"), 8, 4);
  TGLPersistentImage img(nullptr);
  {
    TJPEGImage jpeg;
    TBitmap bmp;
    bmp.LoadFromFile(Path("host.bmp"));
    jpeg.Assign(&bmp);
    img.Assign(&jpeg);
  }
  ASSERT_TRUE(img.Picture()->Graphic()->Is<TJPEGImage>());
  img.SaveToFile(Path("x.bmp"));
  TGLPersistentImage back(nullptr);
  back.LoadFromFile(Path("x.bmp"));
  EXPECT_TRUE(back.Picture()->Graphic()->Is<TBitmap>());
  EXPECT_EQ(back.GetWidth(), 8);
  EXPECT_EQ(back.GetHeight(), 4);

  TGLPersistentImage empty(nullptr);
  EXPECT_THROW(empty.SaveToFile(Path("empty.bmp")), EInvalidGraphic);
  EXPECT_THROW(back.LoadFromFile(Path("empty.bmp")), ETexture);
  EXPECT_EQ(ReadAll(Path("empty.bmp")), "");
}

TEST_F(TextureImage, ClassRegistryAndOwnerCheck) {
  EXPECT_EQ(FindTextureImageClass("TGLBlankImage"), TGLBlankImage::StaticClass());
  EXPECT_EQ(FindTextureImageClass("tglblankimage"), nullptr);
  const auto classes = GetTextureImageClasses();
  ASSERT_GE(classes.size(), 5u);
  EXPECT_EQ(classes[0], TGLBlankImage::StaticClass());
  EXPECT_EQ(classes[4], TGLFloatDataImage::StaticClass());
  TGLColor notATexture(nullptr);
  EXPECT_THROW(TGLBlankImage bad(&notATexture), EInvalidCast);
}

TEST_F(TextureImage, CubeMapFileRoundTripAndVersionCheck) {
  TGLCubeMapImage cube(nullptr);
  for (int i = 0; i < 5; ++i) cube.Picture(TGLCubeMapTarget(i))->Bitmap().SetSize(8 + i, 8);
  cube.SaveToFile(Path("cube.bin"));  // NZ is left empty
  const std::string data = ReadAll(Path("cube.bin"));
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data.substr(0, 2), std::string("\x00\x01", 2));

  TGLCubeMapImage back(nullptr);
  back.PictureNZ()->Bitmap().SetSize(3, 3);
  back.LoadFromFile(Path("cube.bin"));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(back.Picture(TGLCubeMapTarget(i))->Width(), 8 + i);
  EXPECT_EQ(back.PictureNZ()->Width(), 0);
  EXPECT_EQ(back.GetBitmap32(GL_TEXTURE_CUBE_MAP_POSITIVE_Z_ARB)->Width(), 12);
  EXPECT_EQ(back.GetBitmap32(GL_TEXTURE_CUBE_MAP_NEGATIVE_Y_ARB)->Width(), 12);  // 11 rounded up to 4
  EXPECT_TRUE(back.GetBitmap32(GL_TEXTURE_CUBE_MAP_NEGATIVE_Z_ARB)->BottomUpOnAssign());

  WriteAll(Path("bad.bin"), std::string("\x01\x00", 2) + data.substr(2));
  EXPECT_THROW(back.LoadFromFile(Path("bad.bin")), EAssertionFailed);
  WriteAll(Path("short.bin"), data.substr(0, data.size() / 2));
  EXPECT_ANY_THROW(back.LoadFromFile(Path("short.bin")));
  EXPECT_EQ(back.PicturePZ()->Width(), 12);  // a damaged file changes nothing
}

TEST_F(Texture, SettersImageSwitchingAndAssign) {
  TGLTexture t(nullptr);
  EXPECT_TRUE(t.Disabled());
  EXPECT_EQ(t.ImageClassName(), "TGLPersistentImage");
  EXPECT_THROW(t.SetImageClassName("TNoSuchImage"), ETexture);
  EXPECT_EQ(t.ImageClassName(), "TGLPersistentImage");
  t.SetImageClassName("TGLPicFileImage");
  EXPECT_TRUE(t.Image()->Is<TGLPicFileImage>());

  TGLBlankImage blank(nullptr);
  blank.SetWidth(32);
  t.SetImage(&blank);
  ASSERT_TRUE(t.Image()->Is<TGLBlankImage>());
  EXPECT_EQ(t.Image()->GetWidth(), 32);

  t.SetDisabled(false);
  t.SetImageBrightness(0.5f);
  t.SetEnvColor(nullptr);
  TGLTexture copy(nullptr);
  copy.Assign(&t);
  EXPECT_FALSE(copy.Disabled());
  EXPECT_TRUE(copy.Image()->Is<TGLBlankImage>());
  EXPECT_EQ(copy.ImageBrightness(), 1.0f);  // not copied
  copy.Assign(nullptr);
  EXPECT_TRUE(copy.Disabled());
  EXPECT_TRUE(copy.Image()->Is<TGLPersistentImage>());

  TGLMaterial m(nullptr);
  TGLTextureExItem* item = m.TextureEx()->Add();
  TGLTextureExItem* item2 = m.TextureEx()->Add();
  EXPECT_EQ(item->TextureIndex(), 0);
  EXPECT_EQ(item2->TextureIndex(), 1);
  EXPECT_EQ(item2->GetDisplayName(), "Tex [1]");
  item2->SetTextureIndex(-3);
  EXPECT_EQ(item2->TextureIndex(), 0);
  EXPECT_FALSE(m.TextureEx()->IsTextureEnabled(0));
  item->Texture()->SetEnabled(true);
  EXPECT_TRUE(m.TextureEx()->IsTextureEnabled(0));
  item->TextureScale()->SetX(4);
  EXPECT_FALSE(item->TextureMatrixIsIdentity());
  EXPECT_EQ(item->TextureMatrix()[0][0], 4.0f);
}

TEST_F(Texture, DisabledTextureBindsNothing) {
  TRecordedGL gl;
  TGLTexture t(nullptr);
  gl.cache.EnableState(stTexture2D);
  gl.cache.EnableState(stTextureRect);
  gl.rec.Clear();
  t.Apply(gl.rci);
  EXPECT_EQ(gl.rec.Count("glBindTexture"), 0);
  EXPECT_EQ(gl.rec.Count("glDisable"), 2);
  EXPECT_FALSE(t.IsHandleAllocated());
  gl.rec.Clear();
  t.UnApply(gl.rci);
  EXPECT_TRUE(gl.rec.Calls.empty());
}

TEST_F(Texture, LazyUploadAndReuploadAfterChange) {
  TRecordedGL gl;
  WriteBmp(Path("p.bmp"), 100, 60);
  TGLTexture t(nullptr);
  t.Image()->LoadFromFile(Path("p.bmp"));
  t.SetDisabled(false);
  EXPECT_EQ(t.OpenGLTextureFormat(), GLenum(GL_RGBA8));
  t.Apply(gl.rci);
  ASSERT_EQ(gl.rec.Count("glBindTexture"), 1);
  const GLuint name = t.Handle();
  EXPECT_NE(name, 0u);
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_WRAP_S), std::vector<GLenum>{GL_REPEAT});
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_MIN_FILTER), std::vector<GLenum>{GL_LINEAR_MIPMAP_LINEAR});
  ASSERT_EQ(gl.rec.Count("gluBuild2DMipmaps"), 1);
  const TGLCall upload = gl.rec.CallsTo("gluBuild2DMipmaps")[0];
  EXPECT_EQ(GLenum(upload.Args[1]), GLenum(GL_RGBA8));
  EXPECT_EQ(upload.Args[2], 128);
  EXPECT_EQ(upload.Args[3], 64);
  ASSERT_EQ(gl.rec.Count("glTexEnvi"), 1);
  EXPECT_EQ(GLenum(gl.rec.CallsTo("glTexEnvi")[0].Args[2]), GLenum(GL_DECAL));
  EXPECT_EQ(gl.cache.BoundTexture(0), std::int32_t(name));

  gl.rec.Clear();
  EXPECT_EQ(t.GetTextureHandle(), name);  // nothing pending
  EXPECT_TRUE(gl.rec.Calls.empty());

  t.SetMinFilter(miLinear);
  EXPECT_EQ(t.GetTextureHandle(), name);
  EXPECT_EQ(gl.rec.Count("glGenTextures"), 0);
  EXPECT_EQ(gl.rec.Count("glTexImage2D"), 1);  // full upload again, same name
  t.DestroyHandles();
  EXPECT_FALSE(t.IsHandleAllocated());
  EXPECT_EQ(t.RequiredMemory(), -1);
}

TEST_F(Texture, SharedPictureIsUploadedOnceAndBoundByEveryUser) {
  TRecordedGL gl;
  WriteBmp(Path("p.bmp"), 8, 8);
  auto face = std::make_shared<TGLTexture>(nullptr);
  face->Image()->LoadFromFile(Path("p.bmp"));
  face->SetDisabled(false);
  TGLTexture a(nullptr), b(nullptr);
  for (TGLTexture* t : {&a, &b}) {
    t->SetDisabled(false);
    t->SetPictureSource(face);
  }
  a.Apply(gl.rci);
  a.UnApply(gl.rci);
  b.Apply(gl.rci);
  b.UnApply(gl.rci);
  EXPECT_EQ(gl.rec.Count("gluBuild2DMipmaps"), 1);
  EXPECT_EQ(gl.rec.Count("glBindTexture"), 1);  // the second user finds it bound
  EXPECT_EQ(a.GetTextureHandle(), face->Handle());
  EXPECT_FALSE(a.IsHandleAllocated());
  EXPECT_FALSE(b.IsHandleAllocated());
  EXPECT_TRUE(a.SameLook(b));
  b.SetTextureMode(tmModulate);
  EXPECT_FALSE(a.SameLook(b));

  // A source that shares itself lends its own source; a user's own name goes when it shares.
  TGLTexture c(nullptr);
  c.Image()->LoadFromFile(Path("p.bmp"));
  c.SetDisabled(false);
  c.GetTextureHandle();
  ASSERT_TRUE(c.IsHandleAllocated());
  auto relay = std::make_shared<TGLTexture>(nullptr);
  relay->SetPictureSource(face);
  c.SetPictureSource(relay);
  EXPECT_EQ(c.PictureSource(), face.get());
  EXPECT_FALSE(c.IsHandleAllocated());

  // Its own picture again ends the sharing; its own texture is made for it.
  c.Image()->LoadFromFile(Path("p.bmp"));
  EXPECT_EQ(c.PictureSource(), nullptr);
  EXPECT_NE(c.GetTextureHandle(), face->Handle());
  EXPECT_FALSE(c.SameLook(a));  // an own picture never looks the same as another's
  c.SetDisabled(true);
  TGLTexture off(nullptr);
  EXPECT_TRUE(c.SameLook(off));
  // The source lives as long as a user holds it.
  std::weak_ptr<TGLTexture> gone = face;
  face.reset();
  relay.reset();
  EXPECT_FALSE(gone.expired());
  a.SetPictureSource(nullptr);
  b.SetPictureSource(nullptr);
  EXPECT_TRUE(gone.expired());
}

TEST_F(Texture, FormatCompressionAndWrapTables) {
  TRecordedGL gl;
  TGLTexture t(nullptr);
  t.SetTextureFormat(tfRGB);
  t.SetCompression(tcHighSpeed);
  GLCaps.ARB_texture_compression = false;
  EXPECT_EQ(t.OpenGLTextureFormat(), GLenum(GL_RGB8));
  GLCaps.ARB_texture_compression = true;
  EXPECT_EQ(t.OpenGLTextureFormat(), GLenum(GL_COMPRESSED_RGB_ARB));
  t.SetTextureFormat(tfRGBAFloat16);
  GLCaps.ATI_texture_float = false;
  EXPECT_EQ(t.OpenGLTextureFormat(), 0x888Au);  // never compressed

  t.SetTextureFormat(tfRGB);
  t.Image()->Assign(std::make_unique<TBitmap>(8, 8, pf24bit).get());
  t.SetMinFilter(miNearest);
  t.SetTextureWrap(twVertical);
  GLCaps.Version_1_2 = true;
  t.GetTextureHandle();
  bool fastest = false;
  for (const auto& c : gl.rec.CallsTo("glHint"))
    fastest |= GLenum(c.Args[0]) == GL_TEXTURE_COMPRESSION_HINT_ARB && GLenum(c.Args[1]) == GL_FASTEST;
  EXPECT_TRUE(fastest);
  EXPECT_EQ(GLenum(gl.rec.CallsTo("glTexImage2D")[0].Args[2]), GLenum(GL_COMPRESSED_RGB_ARB));
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_WRAP_S), std::vector<GLenum>{GL_CLAMP_TO_EDGE});
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_WRAP_T), std::vector<GLenum>{GL_REPEAT});

  gl.rec.Clear();
  GLCaps.Version_1_2 = GLCaps.EXT_texture_edge_clamp = false;
  t.SetTextureWrap(twHorizontal);
  t.GetTextureHandle();
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_WRAP_S), std::vector<GLenum>{GL_REPEAT});
  EXPECT_EQ(gl.ParamValues(GL_TEXTURE_WRAP_T), std::vector<GLenum>{GL_CLAMP});
}

TEST_F(Texture, CubeMapWithUnequalFacesGetsANameButNoUpload) {
  TRecordedGL gl;
  GLCaps.ARB_texture_cube_map = true;
  TGLTexture t(nullptr);
  t.SetImageClassName("TGLCubeMapImage");
  auto* cube = static_cast<TGLCubeMapImage*>(t.Image());
  for (int i = 0; i < 6; ++i) cube->Picture(TGLCubeMapTarget(i))->Bitmap().SetSize(64, 64);
  cube->PictureNY()->Bitmap().SetSize(32, 32);
  EXPECT_NE(t.GetTextureHandle(), 0u);
  EXPECT_EQ(gl.rec.Count("gluBuild2DMipmaps") + gl.rec.Count("glTexImage2D"), 0);
  cube->PictureNY()->Bitmap().SetSize(64, 64);
  t.SetMinFilter(miLinear);
  t.GetTextureHandle();
  EXPECT_EQ(gl.rec.Count("glTexImage2D"), 6);
  EXPECT_EQ(GLenum(gl.rec.CallsTo("glTexImage2D")[5].Args[0]), GLenum(GL_TEXTURE_CUBE_MAP_NEGATIVE_Z_ARB));
}

TEST_F(Texture, FailedUploadIsRetriedAtTheNextUse) {
  TRecordedGL gl;
  TGLTexture t(nullptr);
  t.SetImageClassName("TGLPicFileImage");
  static_cast<TGLPicFileImage*>(t.Image())->SetPictureFileName(Path("late.bmp"));
  EXPECT_THROW(t.GetTextureHandle(), ETexture);
  EXPECT_TRUE(t.ImageChanged());
  WriteBmp(Path("late.bmp"), 4, 4);
  static_cast<TGLPicFileImage*>(t.Image())->Invalidate();
  t.GetTextureHandle();
  EXPECT_EQ(gl.rec.Count("gluBuild2DMipmaps"), 1);
}

}  // namespace

namespace {

// A persistent image keeps its picture in the stored form of its texture.
TEST_F(Texture, PicturesAreStoredWithTheTexture) {
  TBitmap picture(4, 3, pf24bit);
  picture.Canvas().SetPixel(2, 1, clRed);
  TGLTexture t(nullptr);
  t.Image()->Assign(&picture);
  t.SetEnabled(true);
  TGLTexture back(nullptr);
  CopyThroughStoredForm(&t, &back);
  EXPECT_TRUE(back.Enabled());
  auto* image = static_cast<TGLPersistentImage*>(back.Image());
  ASSERT_EQ(image->GetWidth(), 4);
  EXPECT_EQ(image->GetHeight(), 3);
  EXPECT_EQ(image->Picture()->Bitmap().Canvas().Pixel(2, 1), clRed);

  TGLTexture cube(nullptr);
  cube.SetImageClassName("TGLCubeMapImage");
  static_cast<TGLCubeMapImage*>(cube.Image())->PictureNY()->Bitmap().SetSize(5, 5);
  TGLTexture cubeBack(nullptr);
  CopyThroughStoredForm(&cube, &cubeBack);
  ASSERT_TRUE(cubeBack.Image()->Is<TGLCubeMapImage>());
  EXPECT_EQ(static_cast<TGLCubeMapImage*>(cubeBack.Image())->PictureNY()->Width(), 5);
  EXPECT_EQ(static_cast<TGLCubeMapImage*>(cubeBack.Image())->PicturePX()->Width(), 0);
}

}  // namespace
