// System-font bitmap fonts: measuring the characters, packing their cells and drawing the glyphs.
#include "Source/Materials/GLSystemFont.h"

#include <algorithm>
#include <cmath>

#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

constexpr int kFirstSide = 64, kUsualMaxSide = 512;

// A character code as text for the canvas (a lone byte from 128 is read as Latin-1).
std::string CharText(unsigned char ch) { return std::string(1, char(ch)); }

}  // namespace

std::vector<TGlyphCell> LayoutGlyphCells(const std::array<int, 256>& widths, int charHeight, int w, int h) {
  std::vector<TGlyphCell> cells;
  int x = 0, y = 0;
  for (int k = 0; k < 256; ++k) {
    if (widths[size_t(k)] <= 0) continue;
    const int cell = widths[size_t(k)] + 2;
    if (x + cell > w || y + charHeight > h) break;  // only cells that really fit are placed
    cells.push_back({static_cast<unsigned char>(k), x, y, cell});
    // The next character that has a glyph decides whether the row goes on.
    int next = k + 1;
    while (next < 256 && widths[size_t(next)] <= 0) ++next;
    if (next >= 256) break;
    if (x + cell + widths[size_t(next)] + 2 <= w) {
      x += cell;
    } else {
      x = 0;
      y += charHeight;
      if (y + charHeight > h) break;
    }
  }
  return cells;
}

namespace {

bool ChooseUpTo(const std::array<int, 256>& widths, int charHeight, int count, int maxSide, int& w, int& h) {
  int bestW = 0, bestH = 0;
  for (int th = kFirstSide; th <= maxSide; th *= 2) {
    for (int tw = kFirstSide; tw <= maxSide; tw *= 2) {
      if (int(LayoutGlyphCells(widths, charHeight, tw, th).size()) < count) continue;
      const int area = tw * th, bestArea = bestW * bestH;
      if (bestW == 0 || area < bestArea || (area == bestArea && std::abs(tw - th) < std::abs(bestW - bestH))) {
        bestW = tw;
        bestH = th;
      }
    }
  }
  if (bestW == 0) return false;
  w = bestW;
  h = bestH;
  return true;
}

}  // namespace

bool ChooseGlyphTextureSize(const std::array<int, 256>& widths, int charHeight, int count, int& w, int& h,
                            int maxSide) {
  // Fonts that fit 512 x 512 keep the size they always had; larger sides are tried only when
  // nothing up to 512 holds the characters.
  if (ChooseUpTo(widths, charHeight, count, std::min(maxSide, kUsualMaxSide), w, h)) return true;
  return maxSide > kUsualMaxSide && ChooseUpTo(widths, charHeight, count, maxSide, w, h);
}

int GlyphTextureSideLimit() {
  int limit = kMaxGlyphTextureSide;
  if (GetCurrentRenderingContext()) {
    GLint driverMax = 0;
    GL.glGetIntegerv(GL_MAX_TEXTURE_SIZE, &driverMax);
    if (driverMax >= kFirstSide) limit = std::min(limit, int(driverMax));
  }
  return limit;
}

// ---------------------------------------------------------------------------------------------

TGLWindowsBitmapFont::TGLWindowsBitmapFont(TComponent* AOwner)
    : TGLCustomBitmapFont(AOwner), font_(std::make_unique<TFont>()) {
  font_->SetColor(clWhite);
  font_->OnChange = [this](TObject*) { NotifyChange(this); };
  SetGlyphsAlpha(tiaAlphaFromIntensity);
  Ranges()->Add(' ', '}');
  try {
    LoadWindowsFont();
  } catch (const EInvalidGraphic&) {
    // No font database (no GUI application): the font stays without glyphs.
  }
}

TGLWindowsBitmapFont::~TGLWindowsBitmapFont() { font_->OnChange = nullptr; }

int TGLWindowsBitmapFont::TextureFormat() const { return GL_ALPHA; }

void TGLWindowsBitmapFont::NotifyChange(TObject* Sender) {
  FreeTextureHandle();
  Invalidate();
  inherited::NotifyChange(Sender);
}

void TGLWindowsBitmapFont::Invalidate() {
  SetTextureDirty();
  inherited::Invalidate();
}

void TGLWindowsBitmapFont::PrepareImage() {
  LoadWindowsFont();
  inherited::PrepareImage();
}

bool TGLWindowsBitmapFont::StoreRanges() const {
  const TBitmapFontRanges* r = Ranges();
  return !(r->Count() == 1 && r->Items(0)->StartASCII() == 32 && r->Items(0)->StopASCII() == 125);
}

void TGLWindowsBitmapFont::LoadWindowsFont() {
  Invalidate();
  TPicture* picture = Glyphs();
  // Drawing must not invalidate the font; the handler comes back however this ends.
  TNotifyEvent handler = std::move(picture->OnChange);
  picture->OnChange = nullptr;
  TScopeExit reattach([picture, &handler] { picture->OnChange = std::move(handler); });

  TBitmap& bitmap = picture->Bitmap();
  bitmap.SetPixelFormat(pf32bit);
  TCanvas& canvas = bitmap.Canvas();
  canvas.Font().Assign(font_.get());
  canvas.Font().SetColor(clWhite);

  const int widest = std::max({canvas.TextWidth("M"), canvas.TextWidth("W"), canvas.TextWidth("_")});
  int charWidth = static_cast<int>(std::nearbyint(double(widest) + 2));
  const int charHeight = canvas.TextHeight("\"_pI|,") + 2;
  int spacing = 0;
  if (font_->Style() & fsItalic) {
    spacing = -(charWidth / 3);
    charWidth -= spacing;
  }
  StoreCharSize(charWidth, charHeight);
  SetCharacterSpacing(spacing);

  std::array<int, 256>& widths = CharWidths();
  widths.fill(0);
  for (int r = 0; r < Ranges()->Count(); ++r) {
    const TBitmapFontRange* range = Ranges()->Items(r);
    for (int ch = range->StartASCII(); ch <= range->StopASCII(); ++ch)
      widths[size_t(ch)] = canvas.TextWidth(CharText(static_cast<unsigned char>(ch))) - spacing;
  }
  // The cells to place: every code with a glyph once, however many ranges name it (characters
  // the font gives no width have no cell, so they cannot be asked for).
  const int count = int(std::count_if(widths.begin(), widths.end(), [](int wd) { return wd > 0; }));

  int w = 0, h = 0;
  if (!ChooseGlyphTextureSize(widths, CharHeight(), count, w, h, GlyphTextureSideLimit())) {
    const std::string message = "Characters are too large or too many. Unable to create font texture.";
    const int asked = font_->Size();
    if (!builtSize_ || *builtSize_ == asked) throw Exception(message);
    // The change is refused: the font goes back to the last size it was built at (quietly, as
    // a notification now would free the texture name that is being filled), its glyphs and
    // metrics are built again at that size, and the error says so.
    TNotifyEvent fontHandler = std::move(font_->OnChange);
    font_->OnChange = nullptr;
    font_->SetSize(*builtSize_);
    font_->OnChange = std::move(fontHandler);
    LoadWindowsFont();
    throw Exception(Format("%s Size %d refused: the font keeps size %d.", message, asked, *builtSize_));
  }

  bitmap.SetSize(w, h);
  canvas.Brush().SetColor(clBlack);
  canvas.Brush().SetStyle(bsSolid);
  canvas.FillRect(Rect(0, 0, w, h));
  std::array<TCharTexRect, 256> rects{};
  const float fw = float(w), fh = float(h);
  for (const TGlyphCell& c : LayoutGlyphCells(widths, CharHeight(), w, h)) {
    TCharTexRect& rc = rects[c.Code];
    rc.l = (float(c.X) + 1.05f) / fw;
    rc.t = (fh - (float(c.Y) + 0.05f)) / fh;
    rc.r = (float(c.X + c.Width) - 1.05f) / fw;
    rc.b = (fh - (float(c.Y + CharHeight()) - 0.05f)) / fh;
    canvas.TextRect(Rect(c.X, c.Y, c.X + c.Width, c.Y + CharHeight()), c.X + 1, c.Y + 1, CharText(c.Code));
  }
  SetCharRects(rects);
  SetTextureSize(w, h);
  builtSize_ = font_->Size();
}

void TGLStoredBitmapFont::LoadWindowsFont() {
  if (!GlyphsAreStored()) inherited::LoadWindowsFont();
}

// ---------------------------------------------------------------------------------------------

void RegisterGLSystemFontClasses() {
  RegisterClasses({TGLWindowsBitmapFont::StaticClass(), TGLStoredBitmapFont::StaticClass()});
  if (!FindPublishedProperty(TFont::StaticClass(), "Name")) {
    TPublished<TFont>()
        .Integer("Color", &TFont::Color, &TFont::SetColor, std::nullopt)
        .Integer("Height", &TFont::Height, &TFont::SetHeight, std::nullopt)
        .String("Name", &TFont::Name, &TFont::SetName, std::nullopt)
        .Set("Style", &TFont::Style, &TFont::SetStyle, {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"}, 0);
  }
  TPublished<TGLWindowsBitmapFont> font;
  font.Object("Font", &TGLWindowsBitmapFont::Font);
  PublishFontFilters(font).Object("Ranges", &TGLCustomBitmapFont::Ranges).StoredIf(&TGLWindowsBitmapFont::StoreRanges);
}
