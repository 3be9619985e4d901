// Prints what a system font and bitmap-font text do, drawn in a real off-screen context:
//  - a size-48 system font: each draw's result, Font.Size, the glyph texture size, and the size
//    the stored form keeps;
//  - "a\nb", "a\rb", "a\r\nb": the lines drawn (rows of lit pixels);
//  - "caf", "café": CalcStringWidth, and the lit columns when centred and right-aligned.
// Run with a display (DISPLAY=:N with Xvfb is fine).
#include "Source/Materials/GLSystemFont.h"
#include "Source/Scene/GLState.h"
#include "Source/Viewer/GLQtContext.h"
#include "rtl/Streaming.h"

#include <QApplication>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kW = 512, kH = 256;

struct TLit {
  bool any = false;
  int left = 0, right = 0, rows = 0, bands = 0;  // x relative to the centre column
};

// Draws the text with its pen at the centre of the surface and reports the lit pixels.
TLit Draw(TGLCustomBitmapFont& font, const std::string& text, TAlignment alignment, std::string& error) {
  error.clear();
  GL.glViewport(0, 0, kW, kH);
  GL.glMatrixMode(GL_PROJECTION);
  GL.glLoadIdentity();
  GL.glOrtho(-kW / 2.0, kW / 2.0, -kH / 2.0, kH / 2.0, -1, 1);
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glLoadIdentity();
  GL.glClearColor(0, 0, 0, 1);
  GL.glClear(GL_COLOR_BUFFER_BIT);
  TGLStateCache cache;
  TRenderContextInfo rci;
  rci.GLStates = &cache;
  const TVector4f white{{1, 1, 1, 1}};
  try {
    font.RenderString(rci, text, alignment, tlCenter, white);
  } catch (const Exception& e) {
    error = e.Message();
  }
  std::vector<unsigned char> px(size_t(kW) * kH * 4);
  GL.glReadPixels(0, 0, kW, kH, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  TLit lit;
  bool prevRow = false;
  for (int y = 0; y < kH; ++y) {
    bool rowLit = false;
    for (int x = 0; x < kW; ++x)
      if (px[(size_t(y) * kW + x) * 4] > 100) {
        rowLit = true;
        if (!lit.any || x - kW / 2 < lit.left) lit.left = x - kW / 2;
        if (!lit.any || x - kW / 2 > lit.right) lit.right = x - kW / 2;
        lit.any = true;
      }
    lit.rows += rowLit;
    if (rowLit && !prevRow) ++lit.bands;
    prevRow = rowLit;
  }
  return lit;
}

int StoredSize(TGLWindowsBitmapFont& font) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(&font);
  stream.SetPosition(0);
  std::unique_ptr<TComponent> read(TReader(&stream).ReadRootComponent(nullptr));
  auto* copy = dynamic_cast<TGLWindowsBitmapFont*>(read.get());
  return copy ? copy->Font()->Size() : -1;
}

void LargeFont() {
  TGLWindowsBitmapFont font(nullptr);
  std::printf("system font, default: Font.Size %d, glyph picture %dx%d\n", font.Font()->Size(), font.Glyphs()->Width(),
              font.Glyphs()->Height());
  font.Font()->SetSize(48);
  auto drawTwice = [&font](int size) {
    for (int draw = 1; draw <= 2; ++draw) {
      std::string error;
      const TLit lit = Draw(font, "Ag", taLeftJustify, error);
      std::printf("size %d, draw %d: %s; Font.Size %d; texture %dx%d; lit %d px wide, %d rows\n", size, draw,
                  error.empty() ? "drawn" : ("raised \"" + error + "\"").c_str(), font.Font()->Size(),
                  font.TextureWidth(), font.TextureHeight(), lit.any ? lit.right - lit.left + 1 : 0, lit.rows);
    }
    std::printf("size %d, stored form read back: Font.Size %d\n", size, StoredSize(font));
  };
  drawTwice(48);
  // Far beyond any texture.
  font.Font()->SetSize(2000);
  drawTwice(2000);
  GLint max = 0;
  GL.glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
  std::printf("driver maximum texture size %d\n", max);
}

void Text() {
  TGLWindowsBitmapFont font(nullptr);
  font.Font()->SetSize(20);
  std::string error;
  for (const char* t : {"a", "a\nb", "a\rb", "a\r\nb"}) {
    const TLit lit = Draw(font, t, taLeftJustify, error);
    std::string shown;
    for (const char* c = t; *c; ++c) shown += *c == '\n' ? "\\n" : *c == '\r' ? "\\r" : std::string(1, *c);
    std::printf("\"%s\": %d band(s) of lit rows, %d rows, lit x %d..%d%s\n", shown.c_str(), lit.bands, lit.rows,
                lit.left, lit.right, error.c_str());
  }
  std::printf("CalcStringWidth: \"caf\" %lld, \"caf\\xc3\\xa9\" (UTF-8 é) %lld, \"caf\\xe9\" (Latin-1 é) %lld\n",
              (long long)font.CalcStringWidth("caf"), (long long)font.CalcStringWidth("caf\xc3\xa9"),
              (long long)font.CalcStringWidth("caf\xe9"));
  for (TAlignment a : {taCenter, taRightJustify})
    for (const char* t : {"caf", "caf\xc3\xa9"}) {
      const TLit lit = Draw(font, t, a, error);
      std::printf("%s %-9s lit x %d..%d (pen at 0)\n", a == taCenter ? "centred " : "right   ",
                  std::string(t) == "caf" ? "\"caf\"" : "\"café\"", lit.left, lit.right);
    }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  RegisterGLSystemFontClasses();
  TGLQtContext context;
  context.CreateOffScreen(nullptr, kW, kH);
  if (!context.IsCreated()) {
    std::fprintf(stderr, "no off-screen OpenGL context\n");
    return 1;
  }
  context.ActivateNested();
  LargeFont();
  Text();
  context.DeactivateNested();
  return 0;
}
