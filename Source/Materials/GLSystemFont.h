// Bitmap fonts whose glyph picture is drawn from a system font (fontconfig finds a substitute
// for names such as "Tahoma" that are not installed). The characters of the ranges are measured,
// packed into the smallest power-of-two texture up to 512 x 512 that holds them all (larger,
// up to the driver's maximum, when none does), drawn white on black, and the texture's alpha
// comes from their intensity.
//
// Drawing text needs a QGuiApplication (the font database). GUI thread only.
#pragma once

#include <array>
#include <functional>
#include <optional>

#include "Source/Materials/GLBitmapFont.h"

// Packing of glyph cells, shared by measuring and drawing.
struct TGlyphCell {
  unsigned char Code;
  int X, Y, Width;  // cell position and width (character width + 2)
};
// Lays out the characters with a width above 0 in rows of cells `width + 2` wide and charHeight
// high, in code order, inside w x h. A row ends before a cell that would not fit; the layout
// stops at the first row that would not fit. Returns the cells placed.
std::vector<TGlyphCell> LayoutGlyphCells(const std::array<int, 256>& widths, int charHeight, int w, int h);
// The smallest area w x h (each of 64, 128, 256, 512; height in the outer loop) whose layout
// places all `count` characters; on equal area the squarer one, then the first found. When none
// does, the same over the powers of two from 64 up to maxSide. False when none does.
bool ChooseGlyphTextureSize(const std::array<int, 256>& widths, int charHeight, int count, int& w, int& h,
                            int maxSide = 512);
// The largest side a glyph texture may have: 4096 (a picture of 64 MiB, held about three times
// while it is built and uploaded), or the driver's maximum when a context is current and that is
// smaller.
inline constexpr int kMaxGlyphTextureSide = 4096;
int GlyphTextureSideLimit();

class TGLWindowsBitmapFont : public TGLCustomBitmapFont {
  RTL_CLASS(TGLWindowsBitmapFont, TGLCustomBitmapFont)
 public:
  // Ranges " ".."}", alpha from intensity; the glyphs are built at once (left empty when no
  // font database is available, in which case the font draws nothing).
  explicit TGLWindowsBitmapFont(TComponent* AOwner);
  ~TGLWindowsBitmapFont() override;

  void NotifyChange(TObject* Sender) override;
  void PrepareImage() override;
  // Every invalidation also re-uploads, since the glyph rectangles are this font's own.
  void Invalidate() override;
  // Builds the glyph picture, widths and rectangles. When no texture up to GlyphTextureSideLimit()
  // holds the characters, raises Exception "Characters are too large or too many. Unable to
  // create font texture."; when the font was built before at another size, it goes back to that
  // size (glyphs and metrics rebuilt) and the message ends with "Size <asked> refused: the font
  // keeps size <kept>.".
  virtual void LoadWindowsFont();

  TFont* Font() const noexcept { return font_.get(); }
  void SetFont(TFont* Value) { font_->Assign(Value); }
  // Whether the ranges differ from the one range 32..125.
  bool StoreRanges() const;

 protected:
  int TextureFormat() const override;

 private:
  std::unique_ptr<TFont> font_;
  std::optional<int> builtSize_;  // Font.Size of the last successful build
};

// A system-font bitmap font that can keep its glyphs: LoadWindowsFont does nothing while the
// glyphs are marked stored.
class TGLStoredBitmapFont : public TGLWindowsBitmapFont {
  RTL_CLASS(TGLStoredBitmapFont, TGLWindowsBitmapFont)
 public:
  using TGLWindowsBitmapFont::TGLWindowsBitmapFont;
  void LoadWindowsFont() override;
  bool GlyphsAreStored() const noexcept { return glyphsAreStored_; }
  void SetGlyphsAreStored(bool v) noexcept { glyphsAreStored_ = v; }

 private:
  bool glyphsAreStored_ = false;
};

// Registers both classes with their published properties (and the font's, when not yet there).
void RegisterGLSystemFontClasses();
