// System-font bitmap fonts: the packing of glyph cells with given widths, and (with a font
// database, hence the GL_ suite) glyphs built from a real font.
#include "Source/Materials/GLSystemFont.h"

#include <gtest/gtest.h>

#include <array>

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

  font.Ranges()->Clear();
  font.Ranges()->Add(0, 255);
  font.Font()->SetSize(200);
  try {
    font.LoadWindowsFont();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Characters are too large or too many. Unable to create font texture.");
  }
  EXPECT_EQ(font.Font()->Size(), 6);
  // The picture's change handler is back after the error.
  font.Ranges()->Clear();
  font.Ranges()->Add(' ', '}');
  font.LoadWindowsFont();
  EXPECT_TRUE(static_cast<bool>(font.Glyphs()->OnChange));
  EXPECT_FALSE(font.StoreRanges());
}

}  // namespace
