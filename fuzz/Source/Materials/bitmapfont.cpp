// Stored bitmap fonts from arbitrary bytes, measured and drawn. The bytes are a component stream
// read as a root component. A bitmap font that loads (ranges, metrics, glyph picture) measures
// several texts, one- and many-lined, in every alignment and layout; gives the rectangle of every
// character; draws the texts through a GL table that answers without a driver; and is used by a
// flat text and a HUD text drawn in a scene. A stored scene object is drawn in the scene too.
// Refusals must be the run-time's exceptions (anything else escapes and is a finding); nothing
// may crash, hang, overflow, or leave attributes or matrices pushed, and short texts must
// measure exactly.
#include "fuzz/Source/Scene/FuzzScene.h"

#include <cstdint>
#include <memory>
#include <string>

#include "Source/Materials/GLBitmapFont.h"
#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLHUDObjects.h"
#include "Source/Scene/GLCoordinates.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLSceneGraphClasses();
  RegisterGLBitmapFontClasses();
  RegisterGLHUDObjectsClasses();
}

const std::string* Texts(std::size_t& count) {
  static const std::string texts[] = {
      "",
      "A",
      "AB C",
      "Hello, World!\tand a tab",
      "two\rlines",
      "three\nkinds\r\nof line ends",
      "\r\r\r",
      "\r first line empty\rthird ~}|{",
      [] {
        std::string all;
        for (int c = 0; c < 256; ++c) all += char(c);
        return all;
      }(),
      std::string(3000, 'W'),
  };
  count = sizeof(texts) / sizeof(texts[0]);
  return texts;
}

// The width of a text summed wider than the font does it: both agree while no sum saturates.
// Control characters and characters of width 0 are not drawn and take no room.
__int128 ExactWidth(TGLCustomBitmapFont& font, const std::string& text) {
  __int128 sum = 0;
  bool any = false;
  for (char c : text) {
    const unsigned char ch = static_cast<unsigned char>(c);
    const int w = font.GetCharWidth(ch);
    if (ch < 32 || (ch != 32 && w <= 0)) continue;
    sum += __int128(w) + font.CharacterSpacing() + font.HSpace();
    any = true;
  }
  return any ? sum - font.HSpace() : 0;
}

void Measure(TGLCustomBitmapFont& font) {
  std::size_t count = 0;
  const std::string* texts = Texts(count);
  volatile std::int64_t sink = font.GlyphsPerRow();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& t = texts[i];
    const std::int64_t w = font.CalcStringWidth(t);
    // Short texts are far from saturating: their widths are exact.
    if (t.size() < 4096 && __int128(w) != ExactWidth(font, t)) __builtin_trap();
    for (TAlignment a : {taLeftJustify, taRightJustify, taCenter})
      for (std::size_t from = 0;;) {  // every line's start
        sink = sink + font.AlignmentOffset(t, from, a);
        const std::size_t end = t.find_first_of("\r\n", from);
        if (end == std::string::npos) break;
        from = end + 1;
      }
    for (TGLTextLayout l : {tlTop, tlCenter, tlBottom}) sink = sink + font.LayoutOffset(t, l);
  }
}

void Draw(fuzzscene::TFuzzScene& s, TGLCustomBitmapFont& font) {
  TRenderContextInfo rci;
  rci.scene = &s.scene;
  rci.buffer = &s.buffer;
  rci.GLStates = &s.states;
  rci.viewPortWidth = rci.viewPortHeight = 64;
  std::size_t count = 0;
  const std::string* texts = Texts(count);
  const TVector4f colour{{1, 1, 1, 0.5f}};
  const TVector4f position{{3, -2, 0, 1}};
  int variant = 0;
  for (std::size_t i = 0; i < count; ++i, ++variant) {
    const TAlignment a = TAlignment(variant % 3);
    const TGLTextLayout l = TGLTextLayout((variant / 3) % 3);
    try {
      font.RenderString(rci, texts[i], a, l, colour, variant % 2 ? &position : nullptr, variant % 4 == 1);
    } catch (const Exception&) {
    }
    fuzzscene::CheckBalanced("a drawn text");
  }
  // Every character's rectangle, for the texture size of the upload.
  volatile float sink = 0;
  for (int c = 0; c < 256; ++c) {
    TVector2f tl, br;
    font.GetCharTexCoords(static_cast<unsigned char>(c), tl, br);
    sink = sink + tl[0] + tl[1] + br[0] + br[1];
  }
}

// A flat text and a HUD text using the font, drawn in the scene.
void UseInScene(fuzzscene::TFuzzScene& s, TGLCustomBitmapFont& font) {
  auto* flat = s.scene.Objects()->AddNewChild<TGLFlatText>();
  flat->SetBitmapFont(&font);
  flat->SetText("Flat\rtext");
  flat->SetAlignment(taCenter);
  flat->SetLayout(tlCenter);
  flat->SetOptions({ftoTwoSided});
  auto* hud = s.scene.Objects()->AddNewChild<TGLHUDText>();
  hud->SetBitmapFont(&font);
  hud->SetText("HUD 123\rright");
  hud->SetAlignment(taRightJustify);
  hud->SetLayout(tlBottom);
  hud->SetRotation(30);
  hud->Position()->SetXYZAsPoint(10, 20, 0);
  s.Frames(2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size == 0) return 0;
  fuzzscene::TFuzzScene s;
  std::unique_ptr<TComponent> root;
  try {
    TStringStream in(std::string(reinterpret_cast<const char*>(data), size));
    root.reset(TReader(&in).ReadRootComponent(nullptr));
  } catch (const Exception&) {
    return 0;
  }
  if (auto* font = dynamic_cast<TGLCustomBitmapFont*>(root.get())) {
    Measure(*font);
    Draw(s, *font);
    UseInScene(s, *font);
    Measure(*font);  // again, with the widths and rectangles of the drawn font
    return 0;
  }
  if (auto* obj = dynamic_cast<TGLBaseSceneObject*>(root.get())) {
    try {
      s.scene.Objects()->AddChild(obj);
    } catch (const Exception&) {
      return 0;
    }
    root.release();  // the scene owns it now
    s.Frames(1);
  }
  return 0;
}
