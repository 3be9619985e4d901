// Bitmap fonts and flat text: measuring, ranges, glyph rectangles, users, and the quads drawn,
// through a fake context and the GL call recorder.
#include "Source/Materials/GLBitmapFont.h"

#include "Source/Base/GLRecorder.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLState.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "tests/Source/BookkeepingContext.h"

namespace {

GLuint vNextTexture = 0;
void APIENTRY FakeGenTextures(GLsizei, GLuint* names) { *names = ++vNextTexture; }

// A recorder with texture names and a current (fake) context, and a pass record with a cache.
struct TDrawing {
  TGLRecorder rec;
  TBookkeepingContext context;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TDrawing() {
    GL.glGenTextures = FakeGenTextures;
    context.CreateForDevice(nullptr);
    context.ActivateNested();
    rci.GLStates = &cache;
    rec.Clear();
  }
  ~TDrawing() { context.DeactivateNested(); }
  // The (x, y) of every glVertex2f.
  std::vector<std::pair<double, double>> Vertices() const {
    std::vector<std::pair<double, double>> v;
    for (const auto& c : rec.CallsTo("glVertex2f")) v.emplace_back(c.Args[0], c.Args[1]);
    return v;
  }
};

// Exposes the texture size, which only an upload sets.
class TTestFont : public TGLBitmapFont {
 public:
  using TGLBitmapFont::TGLBitmapFont;
  void UseTextureSize(int w, int h) { SetTextureSize(w, h); }
  // As a system font does: characters outside its ranges get width 0, italics a negative spacing.
  void UseCharWidth(unsigned char ch, int w) { CharWidths()[ch] = w; }
  void UseSpacing(int spacing) { SetCharacterSpacing(spacing); }
};

// A glyph picture of the given size, white.
void GiveGlyphs(TGLCustomBitmapFont& font, int w, int h) {
  TBitmap bmp(w, h, pf24bit);
  TPicture picture;
  picture.SetGraphic(&bmp);
  font.SetGlyphs(&picture);
}

class TCountingText : public TGLFlatText {
 public:
  using TGLFlatText::TGLFlatText;
  int Changes = 0;
  void NotifyChange(TObject* Sender) override {
    ++Changes;
    TGLFlatText::NotifyChange(Sender);
  }
};

TEST(BitmapFontMeasure, StringWidthsAndLineOffsets) {
  TGLBitmapFont font(nullptr);
  EXPECT_EQ(font.CalcStringWidth("AB"), 33);
  EXPECT_EQ(font.CalcStringWidth(""), 0);
  EXPECT_EQ(font.AlignmentOffset("AB", 0, taLeftJustify), 0);
  EXPECT_EQ(font.AlignmentOffset("AB", 0, taRightJustify), -33);
  EXPECT_EQ(font.AlignmentOffset("AB", 0, taCenter), -16);   // 16.5, half to even
  EXPECT_EQ(font.AlignmentOffset("ABC", 0, taCenter), -25);  // 24.5
  // Each line is aligned on its own.
  EXPECT_EQ(font.AlignmentOffset("AB\rABC", 3, taRightJustify), -50);

  EXPECT_EQ(font.LayoutOffset("AB\rCD", tlTop), 0);
  EXPECT_EQ(font.LayoutOffset("AB\rCD", tlBottom), 33);
  EXPECT_EQ(font.LayoutOffset("AB\rCD", tlCenter), 16);
  EXPECT_EQ(font.LayoutOffset("AB", tlBottom), 16);
}

TEST(BitmapFontMeasure, LineFeedsAndCarriageReturnsEachEndALine) {
  TGLBitmapFont font(nullptr);  // 16 x 16, spaces 1
  for (const char* text : {"AB\rCD", "AB\nCD", "AB\r\nCD"}) {
    EXPECT_EQ(font.LayoutOffset(text, tlBottom), 33) << text;
    EXPECT_EQ(font.AlignmentOffset(text, 0, taRightJustify), -33) << text;  // the first line only
  }
  EXPECT_EQ(font.AlignmentOffset("AB\nABC", 3, taRightJustify), -50);
  // LF CR is two line ends (an empty line between), as are two LFs.
  EXPECT_EQ(font.LayoutOffset("A\n\rB", tlBottom), 50);
  EXPECT_EQ(font.LayoutOffset("A\n\nB", tlBottom), 50);
  EXPECT_EQ(font.LayoutOffset("A\r\n\r\nB", tlBottom), 50);
}

TEST(BitmapFontMeasure, WidthCountsOnlyWhatIsDrawn) {
  TTestFont font(nullptr);
  font.UseCharWidth(0xC3, 0);  // the two bytes of a UTF-8 "é", outside the font
  font.UseCharWidth(0xA9, 0);
  EXPECT_EQ(font.CalcStringWidth("caf"), 50);
  EXPECT_EQ(font.CalcStringWidth("caf\xC3\xA9"), 50);
  EXPECT_EQ(font.CalcStringWidth("\xC3\xA9"), 0);
  EXPECT_EQ(font.CalcStringWidth("A\tB"), 33);  // a tab is skipped
  EXPECT_EQ(font.CalcStringWidth("A B"), 50);   // a space advances
  EXPECT_EQ(font.AlignmentOffset("caf\xC3\xA9", 0, taCenter), -25);

  // A negative spacing (italic glyph cells) narrows every advance, spaces and glyphs alike.
  font.UseSpacing(-3);
  EXPECT_EQ(font.CalcStringWidth("AB"), 27);
  EXPECT_EQ(font.CalcStringWidth("A B"), 41);
}

TEST(BitmapFontProperties, ClampsAndRangeEnds) {
  TGLBitmapFont font(nullptr);
  font.SetCharWidth(0);
  EXPECT_EQ(font.CharWidth(), 1);
  font.SetHSpace(-5);
  EXPECT_EQ(font.HSpace(), 0);
  font.SetGlyphsIntervalY(-1);
  EXPECT_EQ(font.GlyphsIntervalY(), 0);

  TBitmapFontRange* r = font.Ranges()->Add('A', 'Z');
  EXPECT_EQ(r->DisplayName(), "ASCII [#65, #90] -> Glyphs [0, 25]");
  r->SetStartASCII('a');
  EXPECT_EQ(r->StopASCII(), 'a');  // dragged up
  r->SetStopASCII('0');
  EXPECT_EQ(r->StartASCII(), '0');  // dragged down
  r->SetStartGlyphIdx(-3);
  EXPECT_EQ(r->StartGlyphIdx(), 0);
  font.Ranges()->Add(200, 255);
  EXPECT_EQ(font.Ranges()->CharacterCount(), 1 + 56);
}

TEST(BitmapFontRects, GridCellsByGlyphIndex) {
  TTestFont font(nullptr);
  GiveGlyphs(font, 256, 256);
  font.Ranges()->Add('A', 'Z');
  font.UseTextureSize(256, 256);
  EXPECT_EQ(font.GlyphsPerRow(), 16);
  TVector2f tl, br;
  font.GetCharTexCoords('A', tl, br);
  EXPECT_FLOAT_EQ(tl[0], 0.05f / 256);
  EXPECT_FLOAT_EQ(tl[1], 255.95f / 256);
  EXPECT_FLOAT_EQ(br[0], 15.95f / 256);
  EXPECT_FLOAT_EQ(br[1], 240.05f / 256);
  font.GetCharTexCoords('Q', tl, br);  // glyph 16: second row
  EXPECT_FLOAT_EQ(tl[0], 0.05f / 256);
  EXPECT_FLOAT_EQ(tl[1], (256 - 16.05f) / 256);
  font.GetCharTexCoords('a', tl, br);
  EXPECT_EQ(tl[0] + tl[1] + br[0] + br[1], 0.0f);

  // A picture narrower than one cell has no glyph per row: empty rectangles, no division.
  TTestFont narrow(nullptr);
  GiveGlyphs(narrow, 8, 8);
  narrow.Ranges()->Add('A', 'B');
  narrow.UseTextureSize(8, 8);
  EXPECT_EQ(narrow.GlyphsPerRow(), 0);
  narrow.GetCharTexCoords('A', tl, br);
  EXPECT_EQ(br[0], 0.0f);
}

TEST(BitmapFontUsers, ChangesReachUsersAndFreeingForgets) {
  auto font = std::make_unique<TGLBitmapFont>(nullptr);
  TCountingText text(nullptr);
  text.SetBitmapFont(font.get());
  EXPECT_EQ(font->UserCount(), 1);
  EXPECT_THROW(font->RegisterUser(&text), EAssertionFailed);

  text.Changes = 0;
  font->SetCharHeight(20);
  EXPECT_EQ(text.Changes, 1);
  font->Ranges()->Add('0', '9');  // a range edit invalidates the font too
  EXPECT_GE(text.Changes, 2);

  font.reset();  // the text is left with no font, not a dangling one
  EXPECT_EQ(text.BitmapFont(), nullptr);

  TGLBitmapFont other(nullptr);
  {
    TGLFlatText shortLived(nullptr);
    shortLived.SetBitmapFont(&other);
  }
  EXPECT_EQ(other.UserCount(), 0);
}

TEST(BitmapFontRender, QuadsPerCharacterWithSkipsAndLines) {
  TDrawing d;
  TGLBitmapFont font(nullptr);
  GiveGlyphs(font, 256, 256);
  font.Ranges()->Add('A', 'Z');
  const TVector4f white{{1, 1, 1, 1}};

  font.RenderString(d.rci, "A\tB C", taLeftJustify, tlTop, white);
  EXPECT_EQ(d.rec.Count("glTexImage2D"), 1);
  EXPECT_EQ(d.rec.Count("glBegin"), 1);
  auto v = d.Vertices();
  ASSERT_EQ(v.size(), 12u);  // A, B, C; the tab draws nothing and does not advance
  EXPECT_EQ(v[0], std::make_pair(0.0, 0.0));
  EXPECT_EQ(v[1], std::make_pair(0.0, -16.0));
  EXPECT_EQ(v[4].first, 17.0);  // B right after A
  EXPECT_EQ(v[8].first, 51.0);  // C after a space of 16 + 1
  EXPECT_EQ(d.rec.Count("glPushAttrib"), d.rec.Count("glPopAttrib"));
  EXPECT_EQ(d.cache.BoundTexture(0), -1);  // the cache forgets what was bound

  // A second line starts one line advance lower, aligned on its own; a character outside every
  // range still draws, with an empty rectangle.
  d.rec.Clear();
  font.RenderString(d.rci, "AB\ra", taRightJustify, tlTop, white, nullptr, true);
  EXPECT_EQ(d.rec.Count("glTexImage2D"), 0);  // uploaded once
  v = d.Vertices();
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ(v[0], std::make_pair(-33.0, 0.0));
  EXPECT_EQ(v[1].second, 16.0);  // reverse Y: the bottom edge is above
  EXPECT_EQ(v[8], std::make_pair(-16.0, -17.0));
  auto tex = d.rec.CallsTo("glTexCoord2f");
  EXPECT_EQ(tex[8].Args, (std::vector<double>{0, 0}));

  // A new glyph picture reaches the texture at the next draw.
  GiveGlyphs(font, 128, 128);
  d.rec.Clear();
  font.RenderString(d.rci, "A", taLeftJustify, tlTop, white);
  EXPECT_EQ(d.rec.Count("glTexImage2D"), 1);
  EXPECT_EQ(font.TextureWidth(), 128);

  d.rec.Clear();
  font.RenderString(d.rci, "", taLeftJustify, tlTop, white);
  EXPECT_TRUE(d.rec.Calls.empty());
}

TEST(BitmapFontRender, EveryLineEndStartsALineAndRightAlignedTextEndsAtThePen) {
  TDrawing d;
  TTestFont font(nullptr);
  GiveGlyphs(font, 256, 256);
  font.Ranges()->Add('A', 'Z');
  const TVector4f white{{1, 1, 1, 1}};
  for (const char* text : {"AB\rC", "AB\nC", "AB\r\nC"}) {
    d.rec.Clear();
    font.RenderString(d.rci, text, taRightJustify, tlTop, white);
    auto v = d.Vertices();
    ASSERT_EQ(v.size(), 12u) << text;
    EXPECT_EQ(v[0], std::make_pair(-33.0, 0.0)) << text;
    EXPECT_EQ(v[8], std::make_pair(-16.0, -17.0)) << text;  // C alone on the second line
  }

  // Characters that are not drawn do not push right-aligned text left of the pen.
  font.UseCharWidth(0xC3, 0);
  font.UseCharWidth(0xA9, 0);
  d.rec.Clear();
  font.RenderString(d.rci, "A B\xC3\xA9", taRightJustify, tlTop, white);
  auto v = d.Vertices();
  ASSERT_EQ(v.size(), 8u);
  EXPECT_EQ(v[0].first, -50.0);
  EXPECT_EQ(v[6].first, 0.0);  // the right edge of B

  // Italic cells: glyphs advance by the spacing the width counts, so the last cell starts where
  // the width puts it and overhangs the pen by the spacing only.
  font.UseSpacing(-3);
  d.rec.Clear();
  font.RenderString(d.rci, "AB", taRightJustify, tlTop, white);
  v = d.Vertices();
  ASSERT_EQ(v.size(), 8u);
  EXPECT_EQ(v[0].first, -27.0);
  EXPECT_EQ(v[4].first, -13.0);  // 16 - 3 + 1 after A
  EXPECT_EQ(v[6].first, 3.0);
}

TEST(BitmapFontRender, FlatTextStateAndMissingFont) {
  TDrawing d;
  auto font = std::make_unique<TGLBitmapFont>(nullptr);
  GiveGlyphs(*font, 64, 64);
  font->Ranges()->Add('A', 'Z');
  TGLFlatText text(nullptr);
  text.SetBitmapFont(font.get());
  text.SetText("AB");
  text.SetOptions({ftoTwoSided});
  text.ModulateColor()->SetAlpha(0.5f);
  text.DoRender(d.rci, true, false);
  EXPECT_EQ(d.rec.CallsTo("glDisable")[0].Args[0], GL_CULL_FACE);
  EXPECT_EQ(d.rec.CallsTo("glColor4fv")[0].Data[3], 0.5);
  EXPECT_EQ(d.rec.Count("glVertex2f"), 8);

  font.reset();
  d.rec.Clear();
  text.DoRender(d.rci, true, false);
  EXPECT_TRUE(d.rec.Calls.empty());
}

// The font as a stored form writes it, read back.
std::unique_ptr<TGLBitmapFont> StoredCopy(TGLBitmapFont& font) {
  RegisterGLBitmapFontClasses();
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(&font);
  stream.SetPosition(0);
  std::unique_ptr<TComponent> read(TReader(&stream).ReadRootComponent(nullptr));
  auto* copy = dynamic_cast<TGLBitmapFont*>(read.get());
  if (!copy) return nullptr;
  read.release();
  return std::unique_ptr<TGLBitmapFont>(copy);
}

TEST(BitmapFontStored, MetricsAboveTheLimitAreRefusedWhenRead) {
  struct TMetric {
    const char* name;
    void (TGLCustomBitmapFont::*set)(int);
    int (TGLCustomBitmapFont::*get)() const;
  };
  const TMetric metrics[] = {
      {"CharWidth", &TGLCustomBitmapFont::SetCharWidth, &TGLCustomBitmapFont::CharWidth},
      {"CharHeight", &TGLCustomBitmapFont::SetCharHeight, &TGLCustomBitmapFont::CharHeight},
      {"HSpace", &TGLCustomBitmapFont::SetHSpace, &TGLCustomBitmapFont::HSpace},
      {"VSpace", &TGLCustomBitmapFont::SetVSpace, &TGLCustomBitmapFont::VSpace},
      {"GlyphsIntervalX", &TGLCustomBitmapFont::SetGlyphsIntervalX, &TGLCustomBitmapFont::GlyphsIntervalX},
      {"GlyphsIntervalY", &TGLCustomBitmapFont::SetGlyphsIntervalY, &TGLCustomBitmapFont::GlyphsIntervalY},
  };
  for (const TMetric& m : metrics) {
    TGLBitmapFont font(nullptr);
    font.SetName("Font1");
    (font.*m.set)(kMaxStoredFontMetric);
    auto copy = StoredCopy(font);
    ASSERT_TRUE(copy) << m.name;
    EXPECT_EQ(((*copy).*m.get)(), kMaxStoredFontMetric) << m.name;

    (font.*m.set)(kMaxStoredFontMetric + 1);  // code may set more; a stored form may not
    EXPECT_EQ((font.*m.get)(), kMaxStoredFontMetric + 1) << m.name;
    try {
      StoredCopy(font);
      ADD_FAILURE() << m.name << " above the limit was read";
    } catch (const EReadError& e) {
      EXPECT_NE(e.Message().find(m.name), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("65537"), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("at most 65536"), std::string::npos) << e.Message();
    }
  }
}

TEST(BitmapFontStored, GlyphPictureAndRangesAreKept) {
  TGLBitmapFont font(nullptr);
  font.SetName("Font1");
  TBitmap bmp(48, 20, pf24bit);
  bmp.Canvas().Brush().SetColor(clBlack);
  bmp.Canvas().FillRect(Rect(0, 0, 48, 20));
  bmp.Canvas().Brush().SetColor(clWhite);
  bmp.Canvas().FillRect(Rect(0, 0, 10, 10));
  TPicture picture;
  picture.SetGraphic(&bmp);
  font.SetGlyphs(&picture);
  font.Ranges()->Add('A', 'F')->SetStartGlyphIdx(2);
  font.SetCharWidth(8);
  font.SetCharHeight(10);
  auto copy = StoredCopy(font);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->Glyphs()->Width(), 48);
  EXPECT_EQ(copy->Glyphs()->Height(), 20);
  ASSERT_EQ(copy->Ranges()->Count(), 1);
  EXPECT_EQ(copy->Ranges()->Items(0)->StartGlyphIdx(), 2);
  EXPECT_EQ(copy->GlyphsPerRow(), 6);
  TBitmap& pixels = copy->Glyphs()->Bitmap();
  EXPECT_EQ(pixels.Canvas().Pixel(2, 2) & 0xFFFFFF, TColor(clWhite));
  EXPECT_EQ(pixels.Canvas().Pixel(20, 15) & 0xFFFFFF, TColor(clBlack));

  // A font without a picture stores none and reads back empty.
  TGLBitmapFont empty(nullptr);
  empty.SetName("Font2");
  auto emptyCopy = StoredCopy(empty);
  ASSERT_TRUE(emptyCopy);
  EXPECT_EQ(emptyCopy->Glyphs()->Width(), 0);
}

TEST(BitmapFontMeasure, WideMetricsAreSummedIn64Bits) {
  TGLBitmapFont font(nullptr);
  font.SetCharWidth((1 << 30) + 10);
  font.SetHSpace((1 << 30) - 1);
  EXPECT_EQ(font.CalcStringWidth("ABC"), INT64_C(5368709148));  // 3 x (2^30 + 10) + 2 x (2^30 - 1)
  EXPECT_EQ(font.AlignmentOffset("ABC", 0, taRightJustify), -INT64_C(5368709148));
  EXPECT_EQ(font.AlignmentOffset("x\rABC", 2, taCenter), -INT64_C(2684354574));
  font.SetCharHeight(INT_MAX);
  font.SetVSpace(INT_MAX);
  EXPECT_EQ(font.LayoutOffset("A\rB\rC", tlBottom), 5 * INT64_C(2147483647));
  EXPECT_EQ(font.LayoutOffset("A\rB", tlCenter), INT64_C(3221225470));  // 1.5 x INT_MAX, half to even

  // A stored font at the limit measures a long text exactly.
  TGLBitmapFont stored(nullptr);
  stored.SetCharWidth(kMaxStoredFontMetric);
  stored.SetHSpace(kMaxStoredFontMetric);
  const std::string text(40000, 'W');
  EXPECT_EQ(stored.CalcStringWidth(text), INT64_C(40000) * 2 * 65536 - 65536);
  EXPECT_EQ(stored.AlignmentOffset(text, 0, taRightJustify), -(INT64_C(40000) * 2 * 65536 - 65536));
}

TEST(BitmapFontRects, CellsAndGlyphIndexesFarOutStayFinite) {
  TTestFont font(nullptr);
  GiveGlyphs(font, 256, 256);
  font.UseTextureSize(256, 256);
  // A gap and a cell that only together pass INT_MAX still give one glyph per row.
  font.SetCharWidth(200);
  font.SetGlyphsIntervalX(INT_MAX - 100);
  EXPECT_EQ(font.GlyphsPerRow(), 1);

  font.SetGlyphsIntervalX(0);
  font.SetCharWidth(16);
  TBitmapFontRange* r = font.Ranges()->Add('A', 'C');
  r->SetStartGlyphIdx(INT_MAX);
  EXPECT_EQ(r->DisplayName(), "ASCII [#65, #67] -> Glyphs [2147483647, 2147483649]");
  TVector2f tl, br;
  font.GetCharTexCoords('A', tl, br);  // glyph INT_MAX: last column of row 2^27 - 1
  EXPECT_FLOAT_EQ(tl[0], 240.05f / 256);
  font.GetCharTexCoords('B', tl, br);  // glyph 2^31: first column, 2^31 pixels down
  EXPECT_FLOAT_EQ(tl[0], 0.05f / 256);
  EXPECT_FLOAT_EQ(tl[1], (256.0f - 2147483648.0f) / 256);
}

TEST(BitmapFontRender, WideMetricsGiveFarPositionsNotWrappedOnes) {
  TDrawing d;
  TGLBitmapFont font(nullptr);
  GiveGlyphs(font, 64, 64);
  font.SetCharWidth((1 << 30) + 10);
  font.SetHSpace((1 << 30) - 1);
  font.SetCharHeight(INT_MAX);
  font.SetVSpace(1);
  const TVector4f white{{1, 1, 1, 1}};
  font.RenderString(d.rci, "A B\rC", taLeftJustify, tlTop, white);
  auto v = d.Vertices();
  ASSERT_EQ(v.size(), 12u);
  EXPECT_FLOAT_EQ(float(v[4].first), 4294967314.0f);    // two advances of 2^31 + 9
  EXPECT_FLOAT_EQ(float(v[8].second), -2147483648.0f);  // one line advance of 2^31
  EXPECT_FLOAT_EQ(float(v[9].second), -4294967295.0f);
}

}  // namespace
