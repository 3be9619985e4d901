// Bitmap fonts and flat text: measuring, ranges, glyph rectangles, users, and the quads drawn,
// through a fake context and the GL call recorder.
#include "Source/Materials/GLBitmapFont.h"

#include "Source/Base/GLRecorder.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLState.h"

#include <gtest/gtest.h>

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

}  // namespace
