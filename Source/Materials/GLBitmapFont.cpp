// Bitmap fonts: character ranges, the glyph texture and rectangles, text quads, and flat text.
#include "Source/Materials/GLBitmapFont.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStoredLimits.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Length of the line end at `i`: 2 for CR LF, 1 for a lone CR or LF, 0 for anything else.
std::size_t LineEndAt(const std::string& text, std::size_t i) {
  if (text[i] == '\r') return i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
  return text[i] == '\n' ? 1 : 0;
}

// Half of a 64-bit length, rounded half to even (exact enough: the half of any 64-bit value fits).
std::int64_t HalfRoundedToEven(std::int64_t v) { return static_cast<std::int64_t>(std::nearbyint(double(v) / 2.0)); }

// Widths and heights of texts are sums over their characters and lines, each term below 2^33 in
// size: exact in 64 bits for any text shorter than 2^30 characters, and saturating (never
// wrapping) beyond. The results stay within +-INT64_MAX, so they can be negated.
std::int64_t AddSaturating(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r) || r == INT64_MIN) return b > 0 ? INT64_MAX : -INT64_MAX;
  return r;
}

std::int64_t MulSaturating(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r) || r == INT64_MIN) return (a < 0) != (b < 0) ? -INT64_MAX : INT64_MAX;
  return r;
}

// A stored metric above kMaxStoredFontMetric is refused while the font is read.
void CheckStoredMetric(const TComponent& font, const char* name, int value) {
  CheckStoredBound(font, value, kMaxStoredFontMetric, name, "pixels");
}

}  // namespace

// The glyph picture, kept in the stored font as "Glyphs.Data" in the form textures keep theirs.
class TGlyphsPicture : public TPicture {
  RTL_CLASS(TGlyphsPicture, TPicture)
 protected:
  void DefineProperties(TFiler* Filer) override {
    DefinePictureProperty(
        Filer, "Data", [this] { return this; }, this);
  }
};

// ---------------------------------------------------------------------------------------------
// Ranges

TBitmapFontRange::TBitmapFontRange(TCollection* Collection) : TCollectionItem(Collection) {}

void TBitmapFontRange::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TBitmapFontRange*>(Source)) {
    startASCII_ = other->startASCII_;
    stopASCII_ = other->stopASCII_;
    startGlyphIdx_ = other->startGlyphIdx_;
  } else {
    inherited::Assign(Source);
  }
}

std::string TBitmapFontRange::GetDisplayName() {
  const std::int64_t last = std::int64_t(startGlyphIdx_) + stopASCII_ - startASCII_;
  return Format("ASCII [#%d, #%d] -> Glyphs [%d, %d]", int(startASCII_), int(stopASCII_), startGlyphIdx_, last);
}

void TBitmapFontRange::SetStartASCII(unsigned char Value) {
  if (Value == startASCII_) return;
  startASCII_ = Value;
  if (startASCII_ > stopASCII_) stopASCII_ = startASCII_;
  Changed(false);
}

void TBitmapFontRange::SetStopASCII(unsigned char Value) {
  if (Value == stopASCII_) return;
  stopASCII_ = Value;
  if (stopASCII_ < startASCII_) startASCII_ = stopASCII_;
  Changed(false);
}

void TBitmapFontRange::SetStartGlyphIdx(int Value) {
  startGlyphIdx_ = std::max(0, Value);
  Changed(false);
}

TBitmapFontRanges::TBitmapFontRanges(TComponent* AOwner)
    : TCollection(TBitmapFontRange::StaticClass()), owner_(AOwner) {}

TBitmapFontRange* TBitmapFontRanges::Add(unsigned char StartASCII, unsigned char StopASCII) {
  BeginUpdate();
  auto* range = AddAs<TBitmapFontRange>();
  range->SetStartASCII(StartASCII);
  range->SetStopASCII(StopASCII);
  EndUpdate();
  return range;
}

int TBitmapFontRanges::CharacterCount() const {
  std::int64_t n = 0;
  for (int i = 0; i < Count(); ++i) n += Items(i)->StopASCII() - Items(i)->StartASCII() + 1;
  return int(std::min<std::int64_t>(n, INT_MAX));
}

void TBitmapFontRanges::Update(TCollectionItem* Item) {
  TCollection::Update(Item);
  if (auto* font = dynamic_cast<TGLCustomBitmapFont*>(owner_)) font->Invalidate();
}

// ---------------------------------------------------------------------------------------------
// Font

TGLCustomBitmapFont::TGLCustomBitmapFont(TComponent* AOwner)
    : TGLUpdateAbleComponent(AOwner),
      ranges_(std::make_unique<TBitmapFontRanges>(this)),
      glyphs_(std::make_unique<TGlyphsPicture>()),
      handle_(std::make_unique<TGLTextureHandle>()) {
  glyphs_->OnChange = [this](TObject*) { GlyphsChanged(); };
}

TGLCustomBitmapFont::~TGLCustomBitmapFont() {
  // Users forget the font now, while it is whole (the component's own notifications come later).
  const std::vector<TGLBaseSceneObject*> users = users_;
  for (auto it = users.rbegin(); it != users.rend(); ++it) (*it)->Notification(this, opRemove);
  users_.clear();
  glyphs_->OnChange = nullptr;
}

void TGLCustomBitmapFont::RegisterUser(TGLBaseSceneObject* anObject) {
  RTL_ASSERT(std::find(users_.begin(), users_.end(), anObject) == users_.end());
  users_.push_back(anObject);
}

void TGLCustomBitmapFont::UnRegisterUser(TGLBaseSceneObject* anObject) {
  users_.erase(std::remove(users_.begin(), users_.end(), anObject), users_.end());
}

void TGLCustomBitmapFont::SetRanges(TBitmapFontRanges* Value) {
  ranges_->Assign(Value);
  Invalidate();
}

void TGLCustomBitmapFont::SetGlyphs(TPicture* Value) { glyphs_->Assign(Value); }

void TGLCustomBitmapFont::GlyphsChanged() {
  textureDirty_ = true;  // the new picture must reach the texture
  Invalidate();
}

void TGLCustomBitmapFont::SetCharWidth(int Value) {
  CheckStoredMetric(*this, "CharWidth", Value);
  Value = std::max(1, Value);
  if (Value == charWidth_) return;
  charWidth_ = Value;
  Invalidate();
}

void TGLCustomBitmapFont::SetCharHeight(int Value) {
  CheckStoredMetric(*this, "CharHeight", Value);
  Value = std::max(1, Value);
  if (Value == charHeight_) return;
  charHeight_ = Value;
  Invalidate();
}

void TGLCustomBitmapFont::SetGlyphsIntervalX(int Value) {
  CheckStoredMetric(*this, "GlyphsIntervalX", Value);
  glyphsIntervalX_ = std::max(0, Value);
  Invalidate();
}

void TGLCustomBitmapFont::SetGlyphsIntervalY(int Value) {
  CheckStoredMetric(*this, "GlyphsIntervalY", Value);
  glyphsIntervalY_ = std::max(0, Value);
  Invalidate();
}

void TGLCustomBitmapFont::SetHSpace(int Value) {
  CheckStoredMetric(*this, "HSpace", Value);
  hSpace_ = std::max(0, Value);
  Invalidate();
}

void TGLCustomBitmapFont::SetVSpace(int Value) {
  CheckStoredMetric(*this, "VSpace", Value);
  vSpace_ = std::max(0, Value);
  Invalidate();
}

void TGLCustomBitmapFont::SetMinFilter(TGLMinFilter Value) {
  if (Value == minFilter_) return;
  minFilter_ = Value;
  textureDirty_ = true;
  Invalidate();
}

void TGLCustomBitmapFont::SetMagFilter(TGLMagFilter Value) {
  if (Value == magFilter_) return;
  magFilter_ = Value;
  textureDirty_ = true;
  Invalidate();
}

void TGLCustomBitmapFont::SetGlyphsAlpha(TGLTextureImageAlpha Value) {
  if (Value == glyphsAlpha_) return;
  glyphsAlpha_ = Value;
  textureDirty_ = true;  // the alpha is made at upload
  Invalidate();
}

std::array<int, 256>& TGLCustomBitmapFont::CharWidths() {
  if (!charWidths_) {
    charWidths_ = std::make_unique<std::array<int, 256>>();
    charWidths_->fill(charWidth_);
  }
  return *charWidths_;
}

void TGLCustomBitmapFont::SetCharRects(const std::array<TCharTexRect, 256>& rects) {
  charRects_ = std::make_unique<std::array<TCharTexRect, 256>>(rects);
}

void TGLCustomBitmapFont::Invalidate() {
  if (charWidths_) charWidths_->fill(charWidth_);
  charRects_.reset();
  const std::vector<TGLBaseSceneObject*> users = users_;
  for (auto it = users.rbegin(); it != users.rend(); ++it) (*it)->NotifyChange(this);
}

int TGLCustomBitmapFont::GetCharWidth(unsigned char ch) { return CharWidths()[ch]; }

std::int64_t TGLCustomBitmapFont::CalcStringWidth(const std::string& aText) {
  // What RenderString draws: a space advances, a character of positive width is drawn and
  // advances, control characters and characters of width 0 (outside a system font's ranges,
  // or bytes of a multi-byte character) take no room.
  const std::int64_t gap = std::int64_t(charSpacing_) + hSpace_;
  std::int64_t sum = 0;
  bool any = false;
  for (char c : aText) {
    const unsigned char ch = static_cast<unsigned char>(c);
    if (ch < 32) continue;
    const int w = GetCharWidth(ch);
    if (ch != 32 && w <= 0) continue;
    sum = AddSaturating(sum, w + gap);
    any = true;
  }
  return any ? AddSaturating(sum, -std::int64_t(hSpace_)) : 0;
}

int TGLCustomBitmapFont::GlyphsPerRow() const {
  const int w = glyphs_->Width();
  if (w < 1) return 0;
  // At most w, as the cell is at least one pixel wider than the gap.
  return int((std::int64_t(w) + glyphsIntervalX_) / (std::int64_t(glyphsIntervalX_) + charWidth_));
}

void TGLCustomBitmapFont::ComputeCharRects() {
  auto rects = std::make_unique<std::array<TCharTexRect, 256>>();
  const int perRow = GlyphsPerRow();
  const float tw = float(textureWidth_), th = float(textureHeight_);
  const double cellW = double(charWidth_) + glyphsIntervalX_, cellH = double(charHeight_) + glyphsIntervalY_;
  // Without a texture or with cells wider than the picture, every rectangle stays empty.
  if (perRow > 0 && textureWidth_ > 0 && textureHeight_ > 0) {
    for (int r = 0; r < ranges_->Count(); ++r) {
      const TBitmapFontRange* range = ranges_->Items(r);
      std::int64_t g = range->StartGlyphIdx();
      for (int ch = range->StartASCII(); ch <= range->StopASCII(); ++ch, ++g) {
        // Cells far beyond the picture give far-off (finite) coordinates, never a wrapped product.
        const float x = float(double(g % perRow) * cellW);
        const float y = float(double(g / perRow) * cellH);
        TCharTexRect& rc = (*rects)[size_t(ch)];
        rc.l = (x + 0.05f) / tw;
        rc.t = (th - (y + 0.05f)) / th;
        rc.r = (x + float(GetCharWidth(static_cast<unsigned char>(ch))) - 0.05f) / tw;
        rc.b = (th - (y + float(charHeight_) - 0.05f)) / th;
      }
    }
  }
  charRects_ = std::move(rects);
}

const std::array<TCharTexRect, 256>& TGLCustomBitmapFont::CharRects() {
  if (!charRects_) ComputeCharRects();
  return *charRects_;
}

void TGLCustomBitmapFont::GetCharTexCoords(unsigned char ch, TVector2f& topLeft, TVector2f& bottomRight) {
  const TCharTexRect& rc = CharRects()[ch];
  topLeft = {{rc.l, rc.t}};
  bottomRight = {{rc.r, rc.b}};
}

int TGLCustomBitmapFont::TextureFormat() const { return GL_RGBA; }

void TGLCustomBitmapFont::FreeTextureHandle() {
  handle_->FreeName();
  textureDirty_ = true;
}

void TGLCustomBitmapFont::PrepareImage() {
  const int pw = glyphs_->Width(), ph = glyphs_->Height();
  const int w = NextPowerOfTwoSide(pw), h = NextPowerOfTwoSide(ph);
  TBitmap bmp(w, h, pf24bit);
  bmp.Canvas().Brush().SetColor(clBlack);
  bmp.Canvas().FillRect(Rect(0, 0, w, h));
  if (glyphs_->Graphic()) bmp.Canvas().Draw(0, 0, *glyphs_->Graphic());
  TGLBitmap32 image;
  image.Assign(&bmp);
  switch (glyphsAlpha_) {
    case tiaDefault:
    case tiaTopLeftPointColorTransparent: image.AlphaKeyFromColor(bmp.Canvas().Pixel(0, 0)); break;
    case tiaAlphaFromIntensity:
    case tiaLuminance: image.AlphaFromGrey(); break;
    case tiaSuperBlackTransparent: image.AlphaKeyFromPixel(0, 0, 0); break;
    case tiaLuminanceSqrt: image.AlphaFromGreySqrt(); break;
    case tiaOpaque: image.FillAlpha(255); break;
    case tiaInverseLuminance:
    case tiaInverseLuminanceSqrt: RTL_ASSERT(false);
  }
  int tw = 0, th = 0;
  image.UploadAsTextureSized(GL_TEXTURE_2D, minFilter_, tw, th, TextureFormat());
  SetTextureSize(tw, th);
}

std::int64_t TGLCustomBitmapFont::AlignmentOffset(const std::string& aText, std::size_t from, TAlignment alignment) {
  if (alignment == taLeftJustify) return 0;
  std::size_t end = aText.find_first_of("\r\n", from);
  if (end == std::string::npos) end = aText.size();
  const std::int64_t w = CalcStringWidth(aText.substr(from, end - from));
  return alignment == taRightJustify ? -w : -HalfRoundedToEven(w);
}

std::int64_t TGLCustomBitmapFont::LayoutOffset(const std::string& aText, TGLTextLayout layout) const {
  std::int64_t lines = 1;
  for (std::size_t i = 0; i < aText.size(); ++i)
    if (const std::size_t n = LineEndAt(aText, i)) {
      ++lines;
      i += n - 1;
    }
  const std::int64_t h =
      AddSaturating(MulSaturating(std::int64_t(charHeight_) + vSpace_, lines), -std::int64_t(vSpace_));
  switch (layout) {
    case tlTop: return 0;
    case tlBottom: return h;
    case tlCenter: return HalfRoundedToEven(h);
  }
  return 0;
}

void TGLCustomBitmapFont::RenderString(TRenderContextInfo& rci, const std::string& aString, TAlignment alignment,
                                       TGLTextLayout layout, const TVector4f& color, const TVector4f* position,
                                       bool reverseY) {
  if (glyphs_->Width() == 0 || aString.empty()) return;
  if (textureDirty_ || handle_->Handle() == 0) {
    // Rectangles computed before this upload would use the old texture size.
    charRects_.reset();
    if (handle_->Handle() == 0) {
      handle_->AllocateName();
      RTL_ASSERT(handle_->Handle() != 0);
    }
    rci.GLStates->SetBoundTexture(0, GL_TEXTURE_2D, handle_->Handle());
    if (glyphs_->Width() > 0) {
      PrepareImage();
      GL.glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
      GL.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
      GL.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
      GL.glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
      GL.glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
      GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
      GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
      GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GLint(MinFilterToGL(minFilter_)));
      GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GLint(MagFilterToGL(magFilter_)));
    }
    textureDirty_ = false;
  }

  const float px = position ? (*position)[0] : 0.0f;
  const float py = position ? (*position)[1] : 0.0f;
  float x = float(AlignmentOffset(aString, 0, alignment)) + px;
  float y = float(LayoutOffset(aString, layout)) + py;
  const float lineAdvance = -float(std::int64_t(charHeight_) + vSpace_);
  auto bottomOf = [&](float top) { return reverseY ? top + float(charHeight_) : top - float(charHeight_); };
  float bottom = bottomOf(y);
  const float spaceAdvance = float(std::int64_t(GetCharWidth(' ')) + charSpacing_ + hSpace_);
  const auto& rects = CharRects();

  GL.glEnable(GL_TEXTURE_2D);
  GL.glDisable(GL_LIGHTING);
  GL.glEnable(GL_BLEND);
  GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  rci.GLStates->SetBoundTexture(0, GL_TEXTURE_2D, handle_->Handle());
  GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  {
    GL.glPushAttrib(GL_CURRENT_BIT);
    TScopeExit popAttribs([] { GL.glPopAttrib(); });
    GL.glColor4fv(color.V);
    GL.glBegin(GL_QUADS);
    for (std::size_t i = 0; i < aString.size(); ++i) {
      const unsigned char ch = static_cast<unsigned char>(aString[i]);
      if (const std::size_t lineEnd = LineEndAt(aString, i)) {
        i += lineEnd - 1;
        x = float(AlignmentOffset(aString, i + 1, alignment)) + px;
        y += lineAdvance;
        bottom = bottomOf(y);
      } else if (ch == 32) {
        x += spaceAdvance;
      } else if (ch >= 32) {
        const int w = GetCharWidth(ch);
        if (w <= 0) continue;
        const TCharTexRect& rc = rects[ch];
        const float x1 = x + float(w);
        GL.glTexCoord2f(rc.l, rc.t);
        GL.glVertex2f(x, y);
        GL.glTexCoord2f(rc.l, rc.b);
        GL.glVertex2f(x, bottom);
        GL.glTexCoord2f(rc.r, rc.b);
        GL.glVertex2f(x1, bottom);
        GL.glTexCoord2f(rc.r, rc.t);
        GL.glVertex2f(x1, y);
        x = x1 + float(std::int64_t(charSpacing_) + hSpace_);  // italic glyphs overlap by the spacing
      }
    }
    GL.glEnd();
  }
  rci.GLStates->ResetBoundTextures();
}

// ---------------------------------------------------------------------------------------------
// Flat text

void TBitmapFontLink::Set(TGLCustomBitmapFont* value, bool markChanged) {
  if (value != font_) {
    if (font_) {
      font_->UnRegisterUser(user_);
      font_->RemoveFreeNotification(user_);
    }
    font_ = value;
    if (font_) {
      font_->RegisterUser(user_);
      font_->FreeNotification(user_);
    }
  }
  if (markChanged) user_->MarkStructureChanged();
}

TGLFlatText::TGLFlatText(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner), modulateColor_(std::make_unique<TGLColor>(this, clrWhite)) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
}

void TGLFlatText::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLFlatText*>(Source)) {
    SetBitmapFont(other->BitmapFont());
    SetText(other->text_);
    SetAlignment(other->alignment_);
    SetLayout(other->layout_);
    SetModulateColor(other->modulateColor_.get());
    SetOptions(other->options_);
  }
  inherited::Assign(Source);
}

void TGLFlatText::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) font_.Removed(AComponent);
  inherited::Notification(AComponent, Operation);
}

void TGLFlatText::SetText(const std::string& Value) {
  text_ = Value;
  MarkStructureChanged();
}

void TGLFlatText::SetAlignment(TAlignment Value) {
  alignment_ = Value;
  MarkStructureChanged();
}

void TGLFlatText::SetLayout(TGLTextLayout Value) {
  layout_ = Value;
  MarkStructureChanged();
}

void TGLFlatText::SetModulateColor(TGLColor* Value) { modulateColor_->Assign(Value); }

void TGLFlatText::SetOptions(TGLFlatTextOptions Value) {
  if (Value == options_) return;
  options_ = Value;
  MarkStructureChanged();
}

void TGLFlatText::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  TGLCustomBitmapFont* font = BitmapFont();
  if (renderSelf && font && !text_.empty()) {
    rci.GLStates->SetPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    GL.glPushAttrib(GL_ENABLE_BIT);
    TScopeExit popAttribs([] { GL.glPopAttrib(); });
    if (modulateColor_->Alpha() != 1.0f) {
      GL.glEnable(GL_BLEND);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }
    if (options_.Contains(ftoTwoSided)) GL.glDisable(GL_CULL_FACE);
    font->RenderString(rci, text_, alignment_, layout_, modulateColor_->Color(), nullptr, false);
  }
  if (renderChildren && Count() > 0) RenderChildren(0, Count() - 1, rci);
}

// ---------------------------------------------------------------------------------------------

void RegisterGLBitmapFontClasses() {
  RegisterClasses({TGLBitmapFont::StaticClass(), TGLFlatText::StaticClass()});
  TPublished<TBitmapFontRange>()
      .String("StartASCII", &TBitmapFontRange::StartASCIIText, &TBitmapFontRange::SetStartASCIIText, std::nullopt)
      .String("StopASCII", &TBitmapFontRange::StopASCIIText, &TBitmapFontRange::SetStopASCIIText, std::nullopt)
      .Integer("StartGlyphIdx", &TBitmapFontRange::StartGlyphIdx, &TBitmapFontRange::SetStartGlyphIdx, std::nullopt);
  TPublished<TGLBitmapFont> font;
  font.Object("Glyphs", &TGLCustomBitmapFont::Glyphs)
      .Integer("GlyphsIntervalX", &TGLCustomBitmapFont::GlyphsIntervalX, &TGLCustomBitmapFont::SetGlyphsIntervalX, 0)
      .Integer("GlyphsIntervalY", &TGLCustomBitmapFont::GlyphsIntervalY, &TGLCustomBitmapFont::SetGlyphsIntervalY, 0)
      .Object("Ranges", &TGLCustomBitmapFont::Ranges)
      .Integer("CharWidth", &TGLCustomBitmapFont::CharWidth, &TGLCustomBitmapFont::SetCharWidth, 16)
      .Integer("CharHeight", &TGLCustomBitmapFont::CharHeight, &TGLCustomBitmapFont::SetCharHeight, 16)
      .Integer("HSpace", &TGLCustomBitmapFont::HSpace, &TGLCustomBitmapFont::SetHSpace, 1)
      .Integer("VSpace", &TGLCustomBitmapFont::VSpace, &TGLCustomBitmapFont::SetVSpace, 1);
  PublishFontFilters(font).Enum(
      "GlyphsAlpha", &TGLCustomBitmapFont::GlyphsAlpha, &TGLCustomBitmapFont::SetGlyphsAlpha,
      {"tiaDefault", "tiaAlphaFromIntensity", "tiaSuperBlackTransparent", "tiaLuminance", "tiaLuminanceSqrt",
       "tiaOpaque", "tiaTopLeftPointColorTransparent", "tiaInverseLuminance", "tiaInverseLuminanceSqrt"},
      tiaDefault);
  TPublished<TGLFlatText>()
      .Component("BitmapFont", &TGLFlatText::BitmapFont, &TGLFlatText::SetBitmapFont)
      .String("Text", &TGLFlatText::Text, &TGLFlatText::SetText)
      .Enum("Alignment", &TGLFlatText::Alignment, &TGLFlatText::SetAlignment,
            {"taLeftJustify", "taRightJustify", "taCenter"}, taLeftJustify)
      .Enum("Layout", &TGLFlatText::Layout, &TGLFlatText::SetLayout, {"tlTop", "tlCenter", "tlBottom"}, tlTop)
      .Object("ModulateColor", &TGLFlatText::ModulateColor)
      .Set("Options", &TGLFlatText::Options, &TGLFlatText::SetOptions, {"ftoTwoSided"}, 0);
}
