// A material textures a quad from a BMP in a real off-screen context, read back pixel by pixel.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLContext.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLUploadBudget.h"
#include "tests/Source/Materials/MaterialGLSurfaceTest.h"

namespace {

constexpr int kSize = 64;

// A real Mesa context drawing into a 64 x 64 framebuffer object.
class TFboContext : public TGLContext {
  RTL_CLASS(TFboContext, TGLContext)
 public:
  ~TFboContext() override { DestroyQuietly(); }
  bool IsCreated() const override { return created_; }
  void SwapBuffers() override {}
  TGLOutputDevice OutputDevice() const override { return nullptr; }
  void* ProcAddress(const char* name) const { return surface_.ProcAddress(name); }

 protected:
  void PlatformActivate() override {
    if (!surface_.MakeCurrent()) throw EGLContext("makeCurrent failed");
  }
  void PlatformDeactivate() override { surface_.DoneCurrent(); }
  void PlatformCreateContext(TGLOutputDevice) override {}
  void PlatformCreateOffscreenContext(TGLOutputDevice, int w, int h) override {
    if (!surface_.Create(w, h)) throw EGLContext("no off-screen context");
    created_ = true;
  }
  void PlatformShareLists(TGLContext*) override {}
  void PlatformDestroyContext() override { created_ = false; }

 private:
  TQtFboSurface surface_;
  bool created_ = false;
};

bool Near(const uint8_t* p, int r, int g, int b) {
  return std::abs(p[0] - r) <= 24 && std::abs(p[1] - g) <= 24 && std::abs(p[2] - b) <= 24;
}

TEST(GL_Material, TexturesAQuadFromABmpAndReadsItBack) {
  RegisterGLTextureClasses();
  QTemporaryDir dir;
  const std::string file = dir.filePath("quadrants.bmp").toStdString();
  {
    // 32 x 32: top-left red, top-right green, bottom-left blue, bottom-right white.
    TBitmap b(32, 32, pf24bit);
    b.Canvas().Brush().SetColor(clRed);
    b.Canvas().FillRect(Rect(0, 0, 16, 16));
    b.Canvas().Brush().SetColor(clLime);
    b.Canvas().FillRect(Rect(16, 0, 32, 16));
    b.Canvas().Brush().SetColor(clBlue);
    b.Canvas().FillRect(Rect(0, 16, 16, 32));
    b.Canvas().Brush().SetColor(clWhite);
    b.Canvas().FillRect(Rect(16, 16, 32, 32));
    b.SaveToFile(file);
  }

  const TGLEntryPoints savedGL = GL;
  const TGLCapabilities savedCaps = GLCaps;
  {
    TFboContext context;
    context.CreateOffScreen(nullptr, kSize, kSize);
    context.ActivateNested();
    LoadGLExtensionEntryPoints([&](const char* name) { return context.ProcAddress(name); });
    DetectGLVersionAndExtensions();
    {
      TGLMaterial material(nullptr);
      material.Texture()->Image()->LoadFromFile(file);
      material.Texture()->SetMinFilter(miNearest);
      material.Texture()->SetMagFilter(maNearest);
      material.Texture()->SetEnabled(true);

      TGLStateCache cache;
      TRenderContextInfo rci;
      rci.GLStates = &cache;
      GL.glViewport(0, 0, kSize, kSize);
      GL.glMatrixMode(GL_PROJECTION);
      GL.glLoadIdentity();
      GL.glMatrixMode(GL_MODELVIEW);
      GL.glLoadIdentity();
      GL.glClearColor(0, 0, 0, 1);
      GL.glClear(GL_COLOR_BUFFER_BIT);

      material.Apply(rci);
      GL.glBegin(GL_QUADS);
      const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
      for (const auto& c : corners) {
        MappedTexCoord2f(c[0], c[1]);
        GL.glVertex2f(c[0] * 2 - 1, c[1] * 2 - 1);
      }
      GL.glEnd();
      EXPECT_FALSE(material.UnApply(rci));
      GL.glFinish();
      EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
      EXPECT_TRUE(material.Texture()->IsHandleAllocated());
      EXPECT_EQ(material.Texture()->TexWidth(), 32);

      uint8_t pixels[kSize * kSize * 4];
      GL.glReadPixels(0, 0, kSize, kSize, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
      auto at = [&](int x, int y) { return pixels + (y * kSize + x) * 4; };  // y = 0 is the bottom row
      EXPECT_TRUE(Near(at(16, 48), 255, 0, 0)) << "top-left";
      EXPECT_TRUE(Near(at(48, 48), 0, 255, 0)) << "top-right";
      EXPECT_TRUE(Near(at(16, 16), 0, 0, 255)) << "bottom-left";
      EXPECT_TRUE(Near(at(48, 16), 255, 255, 255)) << "bottom-right";

      // A library texture prepared in the middle of a pass (outside the state cache) leaves the
      // binding the cache believes in, so applying the first material again binds its texture.
      TGLMaterialLibrary library(nullptr);
      TGLLibMaterial* other = library.Materials()->Add();
      other->Material()->Texture()->Image()->LoadFromFile(file);
      other->Material()->Texture()->SetEnabled(true);
      material.Apply(rci);
      other->PrepareTexture();
      EXPECT_FALSE(material.UnApply(rci));
      material.Apply(rci);
      GLint bound = 0;
      GL.glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
      EXPECT_EQ(GLuint(bound), material.Texture()->Handle());
      EXPECT_NE(other->Material()->Texture()->Handle(), material.Texture()->Handle());
      material.UnApply(rci);

      // Alpha keyed on the first stored pixel: the picture's bottom-left (blue) quadrant.
      TGLTexture keyed(nullptr);
      keyed.Image()->LoadFromFile(file);
      keyed.SetMinFilter(miNearest);
      keyed.SetImageAlpha(tiaTopLeftPointColorTransparent);
      GL.glBindTexture(GL_TEXTURE_2D, keyed.GetTextureHandle());
      std::vector<uint8_t> texels(32 * 32 * 4);
      GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
      auto texel = [&](int x, int y) { return texels.data() + (y * 32 + x) * 4; };  // y = 0: bottom row
      EXPECT_EQ(texel(4, 4)[3], 0) << "blue, keyed";
      EXPECT_EQ(texel(4, 28)[3], 255) << "red";
      EXPECT_EQ(texel(28, 4)[3], 255) << "white";
      EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
    }
    context.DeactivateNested();
  }
  GL = savedGL;
  GLCaps = savedCaps;
}

TEST(GL_Material, UploadsWaitForTheFramesBudgetShowingThePreviousPictureOrNone) {
  RegisterGLTextureClasses();
  auto picture = [](TColor colour) {
    auto b = std::make_unique<TBitmap>(32, 16, pf24bit);
    b->Canvas().Brush().SetColor(colour);
    b->Canvas().FillRect(Rect(0, 0, 32, 16));
    return b;
  };
  const TGLEntryPoints savedGL = GL;
  const TGLCapabilities savedCaps = GLCaps;
  {
    TFboContext context;
    context.CreateOffScreen(nullptr, kSize, kSize);
    context.ActivateNested();
    LoadGLExtensionEntryPoints([&](const char* name) { return context.ProcAddress(name); });
    DetectGLVersionAndExtensions();
    {
      const int64_t before = TGLTexture::UploadedBytes();
      TGLUploadBudget budget;
      budget.SetClock([] { return int64_t(0); }, 1000);
      budget.SetLimitMs(2);
      TGLStateCache cache;
      TRenderContextInfo rci;
      rci.GLStates = &cache;
      rci.uploadBudget = &budget;
      std::vector<std::unique_ptr<TGLMaterial>> materials;
      for (TColor c : {clRed, clLime}) {
        materials.push_back(std::make_unique<TGLMaterial>(nullptr));
        materials.back()->Texture()->Image()->Assign(picture(c).get());
        materials.back()->Texture()->SetMinFilter(miNearest);
        materials.back()->Texture()->SetEnabled(true);
      }
      TGLTexture* first = materials[0]->Texture();
      TGLTexture* second = materials[1]->Texture();
      // A frame whose budget the first upload spends: the second texture has
      // no picture yet and draws without one.
      budget.StartFrame();
      materials[0]->Apply(rci);
      budget.Spend(5);  // the upload took 5 ms
      materials[0]->UnApply(rci);
      materials[1]->Apply(rci);
      EXPECT_FALSE(cache.StateEnabled(stTexture2D));
      EXPECT_FALSE(second->IsHandleAllocated());
      materials[1]->UnApply(rci);
      EXPECT_TRUE(first->IsHandleAllocated());
      EXPECT_EQ(TGLTexture::UploadedBytes() - before, 32 * 16 * 4);
      // The next frame serves it first.
      budget.StartFrame();
      materials[1]->Apply(rci);
      EXPECT_TRUE(second->IsHandleAllocated());
      EXPECT_TRUE(cache.StateEnabled(stTexture2D));
      materials[1]->UnApply(rci);
      EXPECT_EQ(TGLTexture::UploadedBytes() - before, 2 * 32 * 16 * 4);
      // A new picture that has to wait leaves the previous one bound.
      const GLuint name = first->Handle();
      budget.StartFrame();
      materials[1]->Texture()->Image()->Assign(picture(clBlue).get());
      materials[1]->Apply(rci);  // spends the frame
      budget.Spend(5);
      materials[1]->UnApply(rci);
      first->Image()->Assign(picture(clWhite).get());
      materials[0]->Apply(rci);
      GLint bound = 0;
      GL.glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
      EXPECT_EQ(GLuint(bound), name);
      std::vector<uint8_t> texels(32 * 16 * 4);
      GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
      EXPECT_TRUE(Near(texels.data(), 255, 0, 0)) << "still the red picture";
      materials[0]->UnApply(rci);
      budget.StartFrame();
      materials[0]->Apply(rci);
      GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
      EXPECT_TRUE(Near(texels.data(), 255, 255, 255)) << "the white one, a frame later";
      materials[0]->UnApply(rci);
      EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
      materials.clear();
      EXPECT_EQ(TGLTexture::UploadedBytes(), before);
    }
    context.DeactivateNested();
  }
  GL = savedGL;
  GLCaps = savedCaps;
}

}  // namespace

// A picture with a remake is let go once uploaded and made again for the next
// upload (here after the names were dropped, as after a lost context); one
// without keeps its picture.
TEST(GL_Material, PicturesThatCanBeRemadeAreLetGoAfterTheUploadAndRemadeOnDemand) {
  RegisterGLTextureClasses();
  auto picture = [](TColor colour) {
    auto b = std::make_unique<TBitmap>(32, 16, pf24bit);
    b->Canvas().Brush().SetColor(colour);
    b->Canvas().FillRect(Rect(0, 0, 32, 16));
    return b;
  };
  const TGLEntryPoints savedGL = GL;
  const TGLCapabilities savedCaps = GLCaps;
  {
    TFboContext context;
    context.CreateOffScreen(nullptr, kSize, kSize);
    context.ActivateNested();
    LoadGLExtensionEntryPoints([&](const char* name) { return context.ProcAddress(name); });
    DetectGLVersionAndExtensions();
    {
      TGLTexture remade(nullptr), kept(nullptr);
      for (TGLTexture* t : {&remade, &kept}) {
        t->Image()->Assign(picture(clLime).get());
        t->SetMinFilter(miNearest);
      }
      auto* image = static_cast<TGLPictureImage*>(remade.Image());
      int remakes = 0;
      image->SetRemake([&](TPicture& p) {
        ++remakes;
        p.SetGraphic(picture(clBlue).get());  // not the first picture: shows which one was uploaded
      });
      remade.GetTextureHandle();
      kept.GetTextureHandle();
      EXPECT_EQ(image->PictureIfAny(), nullptr);
      EXPECT_EQ(image->GetWidth(), 32) << "the size stays known";
      EXPECT_EQ(image->GetHeight(), 16);
      ASSERT_NE(static_cast<TGLPictureImage*>(kept.Image())->PictureIfAny(), nullptr);
      EXPECT_EQ(static_cast<TGLPictureImage*>(kept.Image())->PictureIfAny()->Width(), 32);
      EXPECT_EQ(remakes, 0);

      std::vector<uint8_t> texels(32 * 16 * 4);
      auto uploaded = [&](TGLTexture& t) {
        GL.glBindTexture(GL_TEXTURE_2D, t.GetTextureHandle());
        GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
        return texels.data();
      };
      EXPECT_TRUE(Near(uploaded(remade), 0, 255, 0));
      remade.DestroyHandles();
      EXPECT_TRUE(Near(uploaded(remade), 0, 0, 255)) << "made again for the new upload";
      EXPECT_EQ(remakes, 1);
      EXPECT_EQ(image->PictureIfAny(), nullptr) << "and let go again";

      // Reading the picture makes it again; a new picture replaces a released
      // one without a remake.
      EXPECT_EQ(image->Picture()->Width(), 32);
      EXPECT_EQ(remakes, 2);
      remade.GetTextureHandle();
      image->Assign(picture(clRed).get());
      EXPECT_EQ(remakes, 2);
      EXPECT_TRUE(Near(uploaded(remade), 255, 0, 0));
      // Without a remake the picture is kept again.
      image->SetRemake(nullptr);
      image->Assign(picture(clLime).get());
      EXPECT_TRUE(Near(uploaded(remade), 0, 255, 0));
      ASSERT_NE(image->PictureIfAny(), nullptr);
      EXPECT_EQ(remakes, 3) << "the released red picture, made again while its remake was known";
      EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
    }
    context.DeactivateNested();
  }
  GL = savedGL;
  GLCaps = savedCaps;
}
