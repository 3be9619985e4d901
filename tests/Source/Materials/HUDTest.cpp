// HUD sprite and text: the screen-space matrices, tiling, and what a pass draws, through the GL
// call recorder.
#include "Source/Materials/GLHUDObjects.h"

#include "Source/Base/GLRecorder.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLState.h"

#include "tests/Source/BookkeepingContext.h"
#include "tests/Source/MultiPassShader.h"

#include <gtest/gtest.h>

namespace {

struct THUDPass {
  TGLRecorder rec;
  TGLStateCache cache;
  TRenderContextInfo rci;
  THUDPass(int w = 200, int h = 100, int dpi = 96) {
    rci.GLStates = &cache;
    rci.viewPortWidth = w;
    rci.viewPortHeight = h;
    rci.renderDPI = dpi;
  }
};

TEST(HUDText, ScreenSpaceFromTheTopLeftCorner) {
  THUDPass pass(200, 100, 192);
  TGLBitmapFont font(nullptr);  // no glyphs: the font draws nothing, the matrices are still set
  TGLHUDText text(nullptr);
  text.SetBitmapFont(&font);
  text.SetText("Hi");
  text.Position()->SetXYZAsPoint(10, 20, 0);
  text.Scale()->SetXYZAsVector(2, 3, 1);
  text.SetRotation(90);
  text.DoRender(pass.rci, true, false);

  auto scales = pass.rec.CallsTo("glScalef");
  ASSERT_EQ(scales.size(), 2u);
  EXPECT_FLOAT_EQ(float(scales[0].Args[0]), 2.0f / 200);
  EXPECT_FLOAT_EQ(float(scales[0].Args[1]), 2.0f / 100);
  EXPECT_EQ(scales[1].Args, (std::vector<double>{4, 6, 1}));  // doubled at 192 DPI
  auto moves = pass.rec.CallsTo("glTranslatef");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].Args, (std::vector<double>{20 - 100, 50 - 40, 0}));
  EXPECT_EQ(pass.rec.Count("glRotatef"), 1);
  EXPECT_EQ(pass.rec.CallsTo("glDisable")[0].Args[0], GL_DEPTH_TEST);
  EXPECT_EQ(pass.rec.Count("glPushMatrix"), pass.rec.Count("glPopMatrix"));
  EXPECT_EQ(pass.rec.Count("glPushAttrib"), pass.rec.Count("glPopAttrib"));

  // No font, or no viewport: nothing drawn.
  pass.rec.Clear();
  text.SetBitmapFont(nullptr);
  text.DoRender(pass.rci, true, false);
  EXPECT_TRUE(pass.rec.Calls.empty());
  text.SetBitmapFont(&font);
  pass.rci.viewPortWidth = 0;
  text.DoRender(pass.rci, true, false);
  EXPECT_TRUE(pass.rec.Calls.empty());
}

TEST(HUDSprite, TiledQuadAndIgnoredMaterials) {
  THUDPass pass;
  TGLHUDSprite sprite(nullptr);
  EXPECT_EQ(sprite.Width(), 16.0f);
  sprite.SetXTiles(3);
  sprite.SetYTiles(2);
  sprite.Position()->SetXYZAsPoint(100, 50, 0);
  SetMapTexCoordModeMain();  // as a textured material would
  sprite.DoRender(pass.rci, true, false);
  SetMapTexCoordModeNull();

  std::vector<std::vector<double>> corners;
  for (const auto& c : pass.rec.CallsTo("glVertex2f")) corners.push_back(c.Args);
  EXPECT_EQ(corners, (std::vector<std::vector<double>>{{-8, -8}, {8, -8}, {8, 8}, {-8, 8}}));
  auto tex = pass.rec.CallsTo("glTexCoord2f");
  ASSERT_EQ(tex.size(), 4u);
  EXPECT_EQ(tex[2].Args, (std::vector<double>{3, 2}));
  auto masks = pass.rec.CallsTo("glDepthMask");
  ASSERT_EQ(masks.size(), 2u);
  EXPECT_EQ(masks[0].Args[0], GL_FALSE);
  EXPECT_EQ(masks[1].Args[0], GL_TRUE);
  EXPECT_EQ(pass.rec.CallsTo("glTranslatef")[0].Args, (std::vector<double>{0, 0, 0}));  // the centre

  // A translucent sprite without lighting takes its alpha through the current colour.
  pass.rec.Clear();
  sprite.SetAlphaChannel(0.25f);
  pass.rci.lightingDisabledCounter = 1;
  sprite.DoRender(pass.rci, true, false);
  auto colours = pass.rec.CallsTo("glColor4f");
  ASSERT_FALSE(colours.empty());
  EXPECT_EQ(colours.back().Args[3], 0.25);

  // A material that keeps asking for passes is stopped.
  TBookkeepingContext context;  // the shader's handle takes a name in it
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  struct TManyPasses : TGLShader {
    using TGLShader::TGLShader;
    int left = 100;
    void DoApply(TRenderContextInfo&, TObject*) override {}
    bool DoUnApply(TRenderContextInfo&) override { return left-- > 0; }
  } shader(nullptr);
  TGLMaterialLibrary library(nullptr);
  library.Materials()->Add()->SetShader(&shader);
  sprite.Material()->SetMaterialLibrary(&library);
  sprite.Material()->SetLibMaterialName("LibMaterial");
  pass.rec.Clear();
  sprite.DoRender(pass.rci, true, false);
  EXPECT_EQ(pass.rec.Count("glBegin"), 64);
  EXPECT_FALSE(shader.Active());  // stopped, not left half-applied for the next frame
  sprite.Material()->SetMaterialLibrary(nullptr);
  context.DeactivateNested();

  // A pass that ignores materials (picking) draws nothing at all.
  pass.rec.Clear();
  pass.rci.ignoreMaterials = true;
  sprite.DoRender(pass.rci, true, true);
  EXPECT_TRUE(pass.rec.Calls.empty());
}

TEST(HUDSprite, AFailingDrawTakesTheMaterialOff) {
  // The second of three passes fails while drawing: the failure goes on, the shader is no longer
  // applied, depth writes and matrices are back, and the next frame draws all passes afresh.
  THUDPass pass;
  TCurrentNullContext context;
  TGLMaterialLibrary lib(nullptr);
  TMultiPassShader shader(nullptr);
  TGLHUDSprite sprite(nullptr);
  sprite.Material()->SetMaterialLibrary(&lib);
  sprite.Material()->SetLibMaterialName(shader.AddUser(lib)->Name());
  static int quadsBeforeFailure;
  static int quads;
  quadsBeforeFailure = 1;
  quads = 0;
  GL.glBegin = [](GLenum) {
    if (quads++ == quadsBeforeFailure) throw EInvalidOperation("broken quad");
  };
  EXPECT_THROW(sprite.DoRender(pass.rci, true, false), EInvalidOperation);
  EXPECT_EQ(quads, 2);
  EXPECT_FALSE(shader.Active());
  EXPECT_EQ(pass.rec.Count("glPushMatrix"), pass.rec.Count("glPopMatrix"));
  EXPECT_EQ(pass.rec.Count("glPushAttrib"), pass.rec.Count("glPopAttrib"));
  EXPECT_EQ(pass.rec.CallsTo("glDepthMask").back().Args[0], GL_TRUE);

  quadsBeforeFailure = -1;
  quads = 0;
  EXPECT_NO_THROW(sprite.DoRender(pass.rci, true, false));
  EXPECT_EQ(quads, 3);
  EXPECT_EQ(shader.applies, 2);
  EXPECT_FALSE(shader.Active());
  sprite.Material()->SetMaterialLibrary(nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Real off-screen context: what the text puts on screen.

#include "Source/Materials/GLSystemFont.h"
#include "tests/Source/Materials/MaterialGLSurfaceTest.h"

#include <QGuiApplication>

namespace {

constexpr int kSize = 64;

// Renders the text object on screen and gives the red channel at (x, y) from the top-left.
struct TScreen {
  std::vector<unsigned char> pixels;
  bool Render(TGLBaseSceneObject& obj) {
    // An off-screen surface needs the GUI application's platform; without one Qt crashes.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
      ADD_FAILURE() << "no GUI application (run the GL_ suites on their own)";
      return false;
    }
    TQtFboSurface surface;
    if (!surface.Create(kSize, kSize) || !surface.MakeCurrent()) {
      ADD_FAILURE() << "no off-screen OpenGL context";
      return false;
    }
    GL.glViewport(0, 0, kSize, kSize);
    GL.glClearColor(0, 0, 0, 1);
    GL.glClear(GL_COLOR_BUFFER_BIT);
    TBookkeepingContext book;
    TGLStateCache cache;
    TRenderContextInfo rci;
    rci.GLStates = &cache;
    rci.viewPortWidth = kSize;
    rci.viewPortHeight = kSize;
    rci.renderDPI = 96;
    book.CreateForDevice(nullptr);
    book.ActivateNested();
    obj.DoRender(rci, true, false);
    obj.DestroyHandle();
    book.DeactivateNested();
    book.DestroyPlatformContext();  // texture names go while their context is current
    EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
    pixels.assign(size_t(kSize) * kSize * 4, 0);
    GL.glReadPixels(0, 0, kSize, kSize, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    surface.DoneCurrent();
    return true;
  }
  int Red(int x, int y) const { return pixels[size_t(((kSize - 1 - y) * kSize + x) * 4)]; }
};

TEST(GL_HUD, TextAtTheOriginStartsAtTheTopLeftPixel) {
  TGLBitmapFont font(nullptr);
  TBitmap white(64, 64, pf24bit);
  white.Canvas().Brush().SetColor(clWhite);
  white.Canvas().FillRect(Rect(0, 0, 64, 64));
  TPicture picture;
  picture.SetGraphic(&white);
  font.SetGlyphs(&picture);
  font.SetGlyphsAlpha(tiaOpaque);
  font.Ranges()->Add('A', 'A');
  TGLHUDText text(nullptr);
  text.SetBitmapFont(&font);
  text.SetText("A");
  TScreen screen;
  ASSERT_TRUE(screen.Render(text));
  // The glyph cell is the 16 x 16 pixels at the corner.
  for (int p : {1, 8, 14}) {
    EXPECT_GT(screen.Red(p, p), 200) << p;
    EXPECT_GT(screen.Red(p, 1), 200) << p;
  }
  EXPECT_LT(screen.Red(20, 4), 40);
  EXPECT_LT(screen.Red(4, 20), 40);
  EXPECT_LT(screen.Red(40, 40), 40);
}

TEST(GL_HUD, SystemFontGlyphsReachTheScreen) {
  TGLWindowsBitmapFont font(nullptr);
  font.Font()->SetHeight(-24);
  TGLHUDText text(nullptr);
  text.SetBitmapFont(&font);
  text.SetText("MW");
  text.Position()->SetXYZAsPoint(4, 4, 0);
  TScreen screen;
  ASSERT_TRUE(screen.Render(text));
  const int right = 4 + int(font.CalcStringWidth("MW")), bottom = 4 + font.CharHeight();
  int lit = 0, litOutside = 0;
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x)
      if (screen.Red(x, y) > 128) (x >= 4 && x < right && y >= 4 && y < bottom ? lit : litOutside) += 1;
  EXPECT_GT(lit, 20);  // strokes of the two letters
  EXPECT_EQ(litOutside, 0);
}

}  // namespace
