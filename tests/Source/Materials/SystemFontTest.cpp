// System-font bitmap fonts: the packing of glyph cells with given widths, and (with a font
// database, hence the GL_ suite) glyphs built from a real font.
#include "Source/Materials/GLSystemFont.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "Source/Scene/GLState.h"
#include "tests/Source/BookkeepingContext.h"
#include "tests/Source/Materials/MaterialGLSurfaceTest.h"

namespace {

std::array<int, 256> Widths(int first, int last, int width) {
  std::array<int, 256> w{};
  for (int k = first; k <= last; ++k) w[size_t(k)] = width;
  return w;
}

TEST(SystemFontPacking, SmallestSquarestTextureWins) {
  int w = 0, h = 0;
  // 256 x 64 holds them first, 128 x 128 has the same area and is square.
  ASSERT_TRUE(ChooseGlyphTextureSize(Widths(32, 125, 6), 14, 94, w, h));
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 128);
  // 256 x 128 and 128 x 256 tie: the one found first (the lower height) stays.
  ASSERT_TRUE(ChooseGlyphTextureSize(Widths(32, 125, 12), 20, 94, w, h));
  EXPECT_EQ(w, 256);
  EXPECT_EQ(h, 128);
  EXPECT_FALSE(ChooseGlyphTextureSize(Widths(0, 255, 60), 60, 256, w, h));
}

TEST(SystemFontPacking, LargerSidesOnlyWhenNothingUpTo512Fits) {
  int w = 0, h = 0;
  // 94 cells of 62 x 60: 512 x 512 holds 64 of them.
  EXPECT_FALSE(ChooseGlyphTextureSize(Widths(32, 125, 60), 60, 94, w, h));
  ASSERT_TRUE(ChooseGlyphTextureSize(Widths(32, 125, 60), 60, 94, w, h, 4096));
  EXPECT_EQ(w, 1024);  // 1024 x 512 and 512 x 1024 tie: the lower height is found first
  EXPECT_EQ(h, 512);
  EXPECT_FALSE(ChooseGlyphTextureSize(Widths(32, 125, 60), 60, 94, w, h, 512));
  // What fits 512 x 512 keeps its size whatever the limit.
  ASSERT_TRUE(ChooseGlyphTextureSize(Widths(32, 125, 12), 20, 94, w, h, 4096));
  EXPECT_EQ(w, 256);
  EXPECT_EQ(h, 128);
  // Without a context the limit is the engine's own.
  EXPECT_EQ(GlyphTextureSideLimit(), kMaxGlyphTextureSide);
}

TEST(SystemFontPacking, CellsStayInsideTheTexture) {
  // A gap between ranges: the row must end before the next real glyph, not before the gap.
  std::array<int, 256> widths{};
  widths['A'] = 10;
  widths['F'] = 60;
  auto cells = LayoutGlyphCells(widths, 10, 64, 64);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[1].X, 0);
  EXPECT_EQ(cells[1].Y, 10);
  // A glyph wider than the texture is not placed (and so not counted).
  widths['F'] = 70;
  EXPECT_EQ(LayoutGlyphCells(widths, 10, 64, 64).size(), 1u);
  for (const TGlyphCell& c : LayoutGlyphCells(Widths(32, 125, 9), 13, 128, 64)) {
    EXPECT_LE(c.X + c.Width, 128);
    EXPECT_LE(c.Y + 13, 64);
  }
}

TEST(GL_SystemFont, GlyphsFromASubstitutedFont) {
  TGLWindowsBitmapFont font(nullptr);
  font.Font()->SetName("Tahoma");
  font.Font()->SetStyle(fsBold);
  font.Font()->SetHeight(-11);
  font.LoadWindowsFont();
  EXPECT_EQ(font.Ranges()->CharacterCount(), 94);
  const int w = font.Glyphs()->Width(), h = font.Glyphs()->Height();
  EXPECT_TRUE(w >= 64 && w <= 512 && (w & (w - 1)) == 0) << w;
  EXPECT_TRUE(h >= 64 && h <= 512 && (h & (h - 1)) == 0) << h;
  EXPECT_EQ(font.GetCharWidth('~'), 0);  // outside the range
  EXPECT_EQ(font.GetCharWidth(200), 0);
  EXPECT_GT(font.GetCharWidth('W'), font.GetCharWidth('i'));
  for (int ch = ' '; ch <= '}'; ++ch) {
    TVector2f tl, br;
    font.GetCharTexCoords(static_cast<unsigned char>(ch), tl, br);
    for (float v : {tl[0], tl[1], br[0], br[1]}) EXPECT_TRUE(v >= 0 && v <= 1) << ch;
    if (ch != ' ') {
      EXPECT_LT(tl[0], br[0]) << ch;
    }
  }
  // White glyphs on black: some pixels are lit, the corner is not.
  TBitmap& bmp = font.Glyphs()->Bitmap();
  EXPECT_EQ(bmp.Canvas().Pixel(w - 1, h - 1) & 0xFFFFFF, clBlack);

  font.Font()->SetStyle(fsItalic);
  font.LoadWindowsFont();
  EXPECT_LT(font.CharacterSpacing(), 0);
  EXPECT_LT(font.CalcStringWidth("ABC"),
            font.GetCharWidth('A') + font.GetCharWidth('B') + font.GetCharWidth('C') + 3 * font.HSpace());
}

TEST(GL_SystemFont, FontChangesAndOversizedFonts) {
  TGLWindowsBitmapFont font(nullptr);
  const int before = font.CharHeight();
  font.Font()->SetSize(30);
  EXPECT_TRUE(font.TextureDirty());
  font.LoadWindowsFont();
  EXPECT_GT(font.CharHeight(), before);

  // A size whose glyphs need more than 512 x 512 gets a larger texture, and keeps its size.
  font.Ranges()->Clear();
  font.Ranges()->Add(0, 255);
  font.Font()->SetSize(48);
  font.LoadWindowsFont();
  EXPECT_EQ(font.Font()->Size(), 48);
  EXPECT_GT(std::max(font.Glyphs()->Width(), font.Glyphs()->Height()), 512);
  const int height48 = font.CharHeight(), glyphsWidth48 = font.Glyphs()->Width();

  // A size no texture holds is refused: the font keeps the size it was built at, and says so.
  font.Font()->SetSize(1000);
  try {
    font.LoadWindowsFont();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "Characters are too large or too many. Unable to create font texture. Size 1000 refused: the font "
              "keeps size 48.");
  }
  EXPECT_EQ(font.Font()->Size(), 48);
  EXPECT_EQ(font.CharHeight(), height48);  // metrics and glyphs of the size kept
  EXPECT_EQ(font.Glyphs()->Width(), glyphsWidth48);
  EXPECT_TRUE(font.TextureDirty());
  EXPECT_NO_THROW(font.LoadWindowsFont());
  // The picture's change handler is back after the error.
  font.Ranges()->Clear();
  font.Ranges()->Add(' ', '}');
  font.LoadWindowsFont();
  EXPECT_TRUE(static_cast<bool>(font.Glyphs()->OnChange));
  EXPECT_FALSE(font.StoreRanges());
}

TEST(GL_SystemFont, RangesThatOverlapBuildEachCharacterOnce) {
  TGLWindowsBitmapFont font(nullptr);
  font.Ranges()->Add('A', 'Z');  // already in " ".."}"
  EXPECT_NO_THROW(font.LoadWindowsFont());
  EXPECT_EQ(font.Font()->Size(), 8);
  TVector2f tl, br;
  font.GetCharTexCoords('A', tl, br);
  EXPECT_LT(tl[0], br[0]);
}

// A real off-screen context, 128 x 128, with the pen at the top-left corner and y up.
struct TTextScreen {
  static constexpr int kSize = 128;
  TQtFboSurface surface;
  TBookkeepingContext book;
  TGLStateCache cache;
  TRenderContextInfo rci;
  bool ready = false;
  TTextScreen() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) || !surface.Create(kSize, kSize) ||
        !surface.MakeCurrent())
      return;
    rci.GLStates = &cache;
    book.CreateForDevice(nullptr);
    book.ActivateNested();
    ready = true;
  }
  ~TTextScreen() {
    if (!ready) return;
    book.DeactivateNested();
    book.DestroyPlatformContext();
    surface.DoneCurrent();
  }
  // Draws the text and gives the number of pixel rows with lit pixels.
  int LitRows(TGLCustomBitmapFont& font, const std::string& text) {
    GL.glViewport(0, 0, kSize, kSize);
    GL.glMatrixMode(GL_PROJECTION);
    GL.glLoadIdentity();
    GL.glOrtho(0, kSize, -kSize, 0, -1, 1);
    GL.glMatrixMode(GL_MODELVIEW);
    GL.glLoadIdentity();
    GL.glClearColor(0, 0, 0, 1);
    GL.glClear(GL_COLOR_BUFFER_BIT);
    font.RenderString(rci, text, taLeftJustify, tlTop, TVector4f{{1, 1, 1, 1}});
    std::vector<unsigned char> px(size_t(kSize) * kSize * 4);
    GL.glReadPixels(0, 0, kSize, kSize, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    int rows = 0;
    for (int y = 0; y < kSize; ++y) {
      bool lit = false;
      for (int x = 0; x < kSize; ++x) lit = lit || px[(size_t(y) * kSize + x) * 4] > 128;
      rows += lit;
    }
    return rows;
  }
};

TEST(GL_SystemFont, LargeSizesDrawAtTheirSizeOrAreRefused) {
  TTextScreen screen;
  ASSERT_TRUE(screen.ready) << "no off-screen OpenGL context";
  GLint driverMax = 0;
  GL.glGetIntegerv(GL_MAX_TEXTURE_SIZE, &driverMax);
  EXPECT_EQ(GlyphTextureSideLimit(), std::min(kMaxGlyphTextureSide, int(driverMax)));
  TGLWindowsBitmapFont font(nullptr);
  const int small = screen.LitRows(font, "Wg");
  EXPECT_GT(small, 5);

  font.Font()->SetSize(48);
  const int large = screen.LitRows(font, "Wg");
  EXPECT_EQ(font.Font()->Size(), 48);
  EXPECT_GT(std::max(font.TextureWidth(), font.TextureHeight()), 512);
  EXPECT_GT(large, 3 * small);
  EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));

  // Refused at the draw; the next draw is at the size kept.
  font.Font()->SetSize(2000);
  EXPECT_THROW(screen.LitRows(font, "Wg"), Exception);
  EXPECT_EQ(font.Font()->Size(), 48);
  EXPECT_EQ(screen.LitRows(font, "Wg"), large);
  EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
}

}  // namespace
