// Bitmap fonts: a picture of glyphs on a regular grid becomes one texture, and strings are drawn
// as textured quads, one per character, with per-character widths. Text objects register with
// the font they use and are told when it changes or goes away.
//
// Character codes are bytes (0..255); the width and rectangle tables are indexed by them.
// GUI thread only; drawing needs a current context.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Source/Scene/GLContext.h"
#include "Source/Materials/GLGraphics.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Materials/GLTexture.h"
#include "platform/Graphics.h"
#include "rtl/Streaming.h"

class TGLCustomBitmapFont;
class TGLColor;

// The largest glyph size, spacing or glyph-cell gap, in pixels, that a stored font may give.
// Values set in code are not bounded: every sum of them is taken in 64 bits.
inline constexpr int kMaxStoredFontMetric = 65536;

// Characters StartASCII..StopASCII map to consecutive glyphs from StartGlyphIdx.
class TBitmapFontRange : public TCollectionItem {
  RTL_CLASS(TBitmapFontRange, TCollectionItem)
 public:
  explicit TBitmapFontRange(TCollection* Collection);
  void Assign(TPersistent* Source) override;
  // "ASCII [#start, #stop] -> Glyphs [first, last]".
  std::string GetDisplayName() override;

  unsigned char StartASCII() const noexcept { return startASCII_; }
  // Raises StopASCII with it when needed.
  void SetStartASCII(unsigned char Value);
  unsigned char StopASCII() const noexcept { return stopASCII_; }
  // Lowers StartASCII with it when needed.
  void SetStopASCII(unsigned char Value);
  int StartGlyphIdx() const noexcept { return startGlyphIdx_; }
  // Negative values are stored as 0.
  void SetStartGlyphIdx(int Value);

  // The characters as one-character strings (their stored form).
  std::string StartASCIIText() const { return std::string(1, char(startASCII_)); }
  void SetStartASCIIText(const std::string& v) { SetStartASCII(v.empty() ? 0 : static_cast<unsigned char>(v[0])); }
  std::string StopASCIIText() const { return std::string(1, char(stopASCII_)); }
  void SetStopASCIIText(const std::string& v) { SetStopASCII(v.empty() ? 0 : static_cast<unsigned char>(v[0])); }

 private:
  unsigned char startASCII_ = 0, stopASCII_ = 0;
  int startGlyphIdx_ = 0;
};

class TBitmapFontRanges : public TCollection {
  RTL_CLASS(TBitmapFontRanges, TCollection)
 public:
  explicit TBitmapFontRanges(TComponent* AOwner);
  TPersistent* GetOwner() override { return owner_; }
  TBitmapFontRange* Items(int Index) const { return ItemAs<TBitmapFontRange>(Index); }
  TBitmapFontRange* Add(unsigned char StartASCII, unsigned char StopASCII);
  // Sum of stop - start + 1 over the ranges (at most INT_MAX).
  int CharacterCount() const;

 protected:
  // A change of the ranges invalidates the owning font.
  void Update(TCollectionItem* Item) override;

 private:
  TComponent* owner_;
};

enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };

// Texture rectangle of a character: left s, top t, right s, bottom t.
struct TCharTexRect {
  float l = 0, t = 0, r = 0, b = 0;
};

class TGLCustomBitmapFont : public TGLUpdateAbleComponent {
  RTL_CLASS(TGLCustomBitmapFont, TGLUpdateAbleComponent)
 public:
  explicit TGLCustomBitmapFont(TComponent* AOwner);
  // Registered users forget the font first (they are not left with a dangling reference).
  ~TGLCustomBitmapFont() override;

  // Builds and uploads the glyph texture to the bound GL_TEXTURE_2D.
  virtual void PrepareImage();
  // Registering the same user twice is an assertion failure.
  virtual void RegisterUser(TGLBaseSceneObject* anObject);
  virtual void UnRegisterUser(TGLBaseSceneObject* anObject);
  int UserCount() const noexcept { return int(users_.size()); }

  TBitmapFontRanges* Ranges() const noexcept { return ranges_.get(); }
  void SetRanges(TBitmapFontRanges* Value);
  TPicture* Glyphs() const noexcept { return glyphs_.get(); }
  void SetGlyphs(TPicture* Value);
  int CharWidth() const noexcept { return charWidth_; }
  void SetCharWidth(int Value);
  int CharHeight() const noexcept { return charHeight_; }
  void SetCharHeight(int Value);
  int GlyphsIntervalX() const noexcept { return glyphsIntervalX_; }
  void SetGlyphsIntervalX(int Value);
  int GlyphsIntervalY() const noexcept { return glyphsIntervalY_; }
  void SetGlyphsIntervalY(int Value);
  int HSpace() const noexcept { return hSpace_; }
  void SetHSpace(int Value);
  int VSpace() const noexcept { return vSpace_; }
  void SetVSpace(int Value);
  TGLMinFilter MinFilter() const noexcept { return minFilter_; }
  void SetMinFilter(TGLMinFilter Value);
  TGLMagFilter MagFilter() const noexcept { return magFilter_; }
  void SetMagFilter(TGLMagFilter Value);
  TGLTextureImageAlpha GlyphsAlpha() const noexcept { return glyphsAlpha_; }
  void SetGlyphsAlpha(TGLTextureImageAlpha Value);
  int CharacterSpacing() const noexcept { return charSpacing_; }
  int TextureWidth() const noexcept { return textureWidth_; }
  int TextureHeight() const noexcept { return textureHeight_; }
  bool TextureDirty() const noexcept { return textureDirty_; }
  TGLTextureHandle* TextureHandle() const noexcept { return handle_.get(); }

  int GetCharWidth(unsigned char ch);
  // The width RenderString gives the text on one line: spaces and characters of positive width,
  // each with its spacing, less the last HSpace; control characters and characters of width 0
  // count nothing. Exact in 64 bits (a sum beyond them would saturate).
  std::int64_t CalcStringWidth(const std::string& aText);
  int GlyphsPerRow() const;
  void GetCharTexCoords(unsigned char ch, TVector2f& topLeft, TVector2f& bottomRight);
  // Draws the text as textured quads. CR, LF and CR LF each end a line; each glyph advances by
  // its width, the extra spacing and HSpace.
  void RenderString(TRenderContextInfo& rci, const std::string& aString, TAlignment alignment, TGLTextLayout layout,
                    const TVector4f& color, const TVector4f* position = nullptr, bool reverseY = false);
  // Widths reset to CharWidth, rectangles dropped, users notified (last registered first).
  virtual void Invalidate();

  // Horizontal start of the line that begins at index `from` (up to the next CR or LF), and the
  // vertical start of the text (CR, LF and CR LF each count as one line end).
  std::int64_t AlignmentOffset(const std::string& aText, std::size_t from, TAlignment alignment);
  std::int64_t LayoutOffset(const std::string& aText, TGLTextLayout layout) const;

 protected:
  // Frees the GL name and marks the texture dirty.
  virtual void FreeTextureHandle();
  virtual int TextureFormat() const;
  // Called when the glyph picture changes.
  virtual void GlyphsChanged();
  void SetCharacterSpacing(int v) noexcept { charSpacing_ = v; }
  void SetTextureDirty() noexcept { textureDirty_ = true; }
  // The width table (created on first use, all CharWidth).
  std::array<int, 256>& CharWidths();
  // Replaces the rectangle table (descendants that lay out their own glyphs).
  void SetCharRects(const std::array<TCharTexRect, 256>& rects);
  void SetTextureSize(int w, int h) noexcept {
    textureWidth_ = w;
    textureHeight_ = h;
  }
  void DropCharRects() { charRects_.reset(); }
  // Stores without invalidating.
  void StoreCharSize(int w, int h) noexcept {
    charWidth_ = w < 1 ? 1 : w;
    charHeight_ = h < 1 ? 1 : h;
  }

 private:
  void ComputeCharRects();
  const std::array<TCharTexRect, 256>& CharRects();

  std::unique_ptr<TBitmapFontRanges> ranges_;
  std::unique_ptr<TPicture> glyphs_;
  int charWidth_ = 16, charHeight_ = 16;
  int glyphsIntervalX_ = 0, glyphsIntervalY_ = 0;
  int hSpace_ = 1, vSpace_ = 1;
  int charSpacing_ = 0;
  std::vector<TGLBaseSceneObject*> users_;
  std::unique_ptr<TGLTextureHandle> handle_;
  bool textureDirty_ = true;
  TGLMinFilter minFilter_ = miLinear;
  TGLMagFilter magFilter_ = maLinear;
  int textureWidth_ = 0, textureHeight_ = 0;
  TGLTextureImageAlpha glyphsAlpha_ = tiaDefault;
  std::unique_ptr<std::array<int, 256>> charWidths_;
  std::unique_ptr<std::array<TCharTexRect, 256>> charRects_;
};

// A bitmap font over a glyph picture supplied by the user.
class TGLBitmapFont : public TGLCustomBitmapFont {
  RTL_CLASS(TGLBitmapFont, TGLCustomBitmapFont)
 public:
  using TGLCustomBitmapFont::TGLCustomBitmapFont;
};

// A text object's link to its font: registered as a user, told when the font is freed, and
// unregistered when the link goes.
class TBitmapFontLink {
 public:
  explicit TBitmapFontLink(TGLBaseSceneObject* user) : user_(user) {}
  ~TBitmapFontLink() { Set(nullptr, false); }
  TBitmapFontLink(const TBitmapFontLink&) = delete;
  TBitmapFontLink& operator=(const TBitmapFontLink&) = delete;
  TGLCustomBitmapFont* Font() const noexcept { return font_; }
  // Switches fonts, then marks the user's structure changed.
  void Set(TGLCustomBitmapFont* value, bool markChanged = true);
  // Forgets the font when it is the component being removed.
  void Removed(TComponent* component) {
    if (component && component == font_) Set(nullptr);
  }

 private:
  TGLBaseSceneObject* user_;
  TGLCustomBitmapFont* font_ = nullptr;
};

enum TGLFlatTextOption : uint8_t { ftoTwoSided };
using TGLFlatTextOptions = TSet<TGLFlatTextOption>;

// Text drawn in the scene's 3D space with a bitmap font.
class TGLFlatText : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLFlatText, TGLImmaterialSceneObject)
 public:
  explicit TGLFlatText(TComponent* AOwner);
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  TGLCustomBitmapFont* BitmapFont() const noexcept { return font_.Font(); }
  void SetBitmapFont(TGLCustomBitmapFont* Value) { font_.Set(Value); }
  const std::string& Text() const noexcept { return text_; }
  void SetText(const std::string& Value);
  TAlignment Alignment() const noexcept { return alignment_; }
  void SetAlignment(TAlignment Value);
  TGLTextLayout Layout() const noexcept { return layout_; }
  void SetLayout(TGLTextLayout Value);
  TGLColor* ModulateColor() const noexcept { return modulateColor_.get(); }
  void SetModulateColor(TGLColor* Value);
  TGLFlatTextOptions Options() const noexcept { return options_; }
  void SetOptions(TGLFlatTextOptions Value);

 private:
  TBitmapFontLink font_{this};
  std::string text_;
  TAlignment alignment_ = taLeftJustify;
  TGLTextLayout layout_ = tlTop;
  std::unique_ptr<TGLColor> modulateColor_;
  TGLFlatTextOptions options_;
};

// The filter and alpha properties every published font class has.
template <class C>
TPublished<C>& PublishFontFilters(TPublished<C>& p) {
  return p
      .Enum("MagFilter", &TGLCustomBitmapFont::MagFilter, &TGLCustomBitmapFont::SetMagFilter, {"maNearest", "maLinear"},
            maLinear)
      .Enum("MinFilter", &TGLCustomBitmapFont::MinFilter, &TGLCustomBitmapFont::SetMinFilter,
            {"miNearest", "miLinear", "miNearestMipmapNearest", "miLinearMipmapNearest", "miNearestMipmapLinear",
             "miLinearMipmapLinear"},
            miLinear);
}

// Registers TGLBitmapFont and TGLFlatText with their published properties.
void RegisterGLBitmapFontClasses();
