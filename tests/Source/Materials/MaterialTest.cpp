// Tests of materials, shaders and the material library: blending, culling, texture units, balanced
// application, names, streams, versions, links and cycles.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/CurrentNullContext.h"

// Defined with the colour tests.
void CopyThroughStoredForm(TPersistent* from, TPersistent* to);

namespace {

// Recorded GL with multitexturing (8 units) and a current fake context.
struct TMaterialGL {
  TGLRecorder rec;
  TCurrentNullContext context;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TMaterialGL() {
    GLCaps.ARB_multitexture = true;
    GL.glGetIntegerv = [](GLenum pname, GLint* v) { *v = pname == GL_MAX_TEXTURE_UNITS_ARB ? 8 : 0; };
    rci.GLStates = &cache;
  }
  bool Has(const std::string& name, std::initializer_list<double> args) const {
    for (const auto& c : rec.CallsTo(name)) {
      size_t i = 0;
      bool same = c.Args.size() >= args.size();
      for (double a : args) same = same && c.Args[i++] == a;
      if (same) return true;
    }
    return false;
  }
};

struct MaterialFixture : ::testing::Test {
  void SetUp() override { RegisterGLTextureClasses(); }
};
using Material = MaterialFixture;
using MaterialLibrary = MaterialFixture;
using Shader = MaterialFixture;

// Draws once per pass that UnApply asks for.
int DrawPasses(TGLMaterial& m, TRenderContextInfo& rci) {
  int draws = 0;
  m.Apply(rci);
  do ++draws;
  while (m.UnApply(rci));
  return draws;
}

class TCountingShader : public TGLShader {
  RTL_CLASS(TCountingShader, TGLShader)
 public:
  using TGLShader::TGLShader;
  int morePasses = 0, applies = 0, initializations = 0;

 protected:
  void DoApply(TRenderContextInfo&, TObject*) override { ++applies; }
  bool DoUnApply(TRenderContextInfo&) override { return morePasses-- > 0; }
  void DoInitialize() override { ++initializations; }
};

TEST_F(Material, BlendingModesAndBlended) {
  TMaterialGL gl;
  TGLMaterial m(nullptr);
  m.SetBlendingMode(bmTransparency);
  EXPECT_TRUE(m.Blended());
  m.Apply(gl.rci);
  EXPECT_TRUE(gl.Has("glEnable", {GL_BLEND}));
  EXPECT_TRUE(gl.Has("glEnable", {GL_ALPHA_TEST}));
  EXPECT_TRUE(gl.Has("glBlendFunc", {GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA}));
  m.UnApply(gl.rci);

  gl.rec.Clear();
  m.SetBlendingMode(bmAlphaTest50);
  EXPECT_FALSE(m.Blended());
  m.Apply(gl.rci);
  EXPECT_TRUE(gl.Has("glDisable", {GL_BLEND}));
  EXPECT_TRUE(gl.Has("glAlphaFunc", {GL_GEQUAL, 0.5}));
  m.UnApply(gl.rci);
  EXPECT_TRUE(gl.Has("glAlphaFunc", {GL_GREATER, 0}));

  gl.rec.Clear();
  m.SetBlendingMode(bmModulate);
  gl.rci.ignoreBlendingRequests = true;
  m.Apply(gl.rci);
  EXPECT_EQ(gl.rec.Count("glBlendFunc"), 0);
  EXPECT_FALSE(TGLMaterial(nullptr).Blended());
}

TEST_F(Material, FaceCullingAndBackProperties) {
  TMaterialGL gl;
  TGLMaterial a(nullptr), b(nullptr);
  b.BackProperties()->Diffuse()->SetColor(clrWhite);
  auto backColours = [&] {
    int n = 0;
    for (const auto& c : gl.rec.CallsTo("glMaterialfv")) n += GLenum(c.Args[0]) == GL_BACK;
    return n;
  };
  // A buffer that does not cull: the back properties go out on every apply.
  DrawPasses(a, gl.rci);
  EXPECT_GT(backColours(), 0);
  gl.rec.Clear();
  DrawPasses(b, gl.rci);
  EXPECT_EQ(backColours(), 1);  // only the diffuse differs
  gl.rec.Clear();
  DrawPasses(a, gl.rci);
  EXPECT_EQ(backColours(), 1);
  EXPECT_EQ(a.BackPropertiesIfAny(), nullptr);  // applying never creates them

  gl.rec.Clear();
  gl.rci.bufferFaceCull = true;
  DrawPasses(a, gl.rci);
  EXPECT_TRUE(gl.Has("glEnable", {GL_CULL_FACE}));
  EXPECT_EQ(backColours(), 0);
  a.SetFaceCulling(fcNoCull);
  gl.rec.Clear();
  DrawPasses(a, gl.rci);
  EXPECT_TRUE(gl.Has("glDisable", {GL_CULL_FACE}));
}

TEST_F(Material, NestedNoLightingRestoresOnlyAfterTheOuterOne) {
  TMaterialGL gl;
  gl.cache.EnableState(stLighting);
  TGLMaterial outer(nullptr), inner(nullptr);
  outer.SetMaterialOptions({moNoLighting, moIgnoreFog});
  inner.SetMaterialOptions({moNoLighting});
  outer.Apply(gl.rci);
  EXPECT_FALSE(gl.cache.StateEnabled(stLighting));
  EXPECT_EQ(gl.rec.Count("glColor4fv"), 1);  // unlit front face
  inner.Apply(gl.rci);
  inner.UnApply(gl.rci);
  EXPECT_FALSE(gl.cache.StateEnabled(stLighting));
  outer.UnApply(gl.rci);
  EXPECT_TRUE(gl.cache.StateEnabled(stLighting));
  EXPECT_EQ(gl.rci.lightingDisabledCounter, 0);
  EXPECT_EQ(gl.rci.fogDisabledCounter, 0);
}

TEST_F(Material, OwnTextureOrExtraUnits) {
  TMaterialGL gl;
  auto bitmap = std::make_unique<TBitmap>(4, 4, pf24bit);
  TGLMaterial m(nullptr);
  m.Texture()->Image()->Assign(bitmap.get());
  m.Texture()->SetEnabled(true);
  TGLTextureExItem* unit1 = m.TextureEx()->Add();
  unit1->SetTextureIndex(1);
  unit1->Texture()->Image()->Assign(bitmap.get());
  unit1->Texture()->SetEnabled(true);
  DrawPasses(m, gl.rci);
  EXPECT_EQ(gl.rec.Count("glActiveTextureARB"), 0);  // only the own texture
  EXPECT_EQ(gl.rec.Count("glBindTexture"), 1);

  // The pipe case: no own texture, an enabled unit 0 with a scale.
  TGLMaterial pipe(nullptr);
  TGLTextureExItem* label = pipe.TextureEx()->Add();
  label->Texture()->Image()->Assign(bitmap.get());
  label->Texture()->SetTextureMode(tmModulate);
  label->Texture()->SetEnabled(true);
  label->TextureScale()->SetXYZW(4, 2, 20, 0);
  gl.rec.Clear();
  pipe.Apply(gl.rci);
  EXPECT_EQ(gl.rec.Count("glPushMatrix"), 1);
  ASSERT_EQ(gl.rec.Count("glLoadMatrixf"), 1);
  EXPECT_EQ(gl.rec.CallsTo("glLoadMatrixf")[0].Data[5], 2.0);
  EXPECT_TRUE(gl.Has("glTexEnvi", {GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE}));
  EXPECT_EQ(pipe.UnApply(gl.rci), false);
  EXPECT_EQ(gl.rec.Count("glPopMatrix"), 1);

  // A pipe waiting for its label: its unit neither asks the driver nor sends anything; once the
  // label is there it is put on and taken off as above.
  static int asked = 0;
  GL.glGetIntegerv = [](GLenum pname, GLint* v) {
    ++asked;
    *v = pname == GL_MAX_TEXTURE_UNITS_ARB ? 8 : 0;
  };
  TGLMaterial waiting(nullptr);
  TGLTextureExItem* pending = waiting.TextureEx()->Add();
  gl.rec.Clear();
  DrawPasses(waiting, gl.rci);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(gl.rec.Count("glActiveTextureARB"), 0);
  EXPECT_EQ(gl.rec.Count("glPopMatrix"), 0);
  pending->Texture()->Image()->Assign(bitmap.get());
  pending->Texture()->SetEnabled(true);
  gl.rec.Clear();
  DrawPasses(waiting, gl.rci);
  EXPECT_EQ(gl.rec.Count("glPushMatrix"), 1);
  EXPECT_EQ(gl.rec.Count("glPopMatrix"), 1);

  // With an enabled unit 0 next to an own texture, only the units are drawn.
  TGLTextureExItem* unit0 = m.TextureEx()->Add();
  unit0->SetTextureIndex(0);
  unit0->Texture()->SetEnabled(true);
  gl.rec.Clear();
  DrawPasses(m, gl.rci);
  EXPECT_EQ(gl.rec.Count("glPushMatrix"), 2);
  // A second item on unit 0 replaces the first instead of pushing the unit's matrix again.
  TGLTextureExItem* again = m.TextureEx()->Add();
  again->SetTextureIndex(0);
  again->Texture()->SetEnabled(true);
  gl.rec.Clear();
  DrawPasses(m, gl.rci);
  EXPECT_EQ(gl.rec.Count("glPushMatrix"), 2);
  EXPECT_EQ(gl.rec.Count("glPopMatrix"), 2);
}

// A texture whose upload fails (a missing picture file) undoes the material's application:
// lighting is counted back on, a before-style shader is inactive, the unit's matrix is popped.
TEST_F(Material, FailingTextureLeavesTheApplicationBalanced) {
  TMaterialGL gl;
  gl.cache.EnableState(stLighting);
  auto missingPicture = [](TGLTexture* t) {
    t->SetImageClassName("TGLPicFileImage");
    static_cast<TGLPicFileImage*>(t->Image())->SetPictureFileName("no/such/picture.bmp");
    t->SetEnabled(true);
  };
  TGLMaterialLibrary lib(nullptr);
  TCountingShader shader(nullptr);
  shader.SetShaderStyle(ssBeforeMaterial);
  TGLLibMaterial* lm = lib.Materials()->Add();
  lm->SetShader(&shader);
  lm->Material()->SetMaterialOptions({moNoLighting, moIgnoreFog});
  lm->TextureScale()->SetXYZW(2, 2, 2, 0);
  missingPicture(lm->Material()->Texture());
  TGLMaterial m(nullptr);
  m.SetMaterialLibrary(&lib);
  m.SetLibMaterialName("LibMaterial");
  EXPECT_THROW(m.Apply(gl.rci), ETexture);
  EXPECT_FALSE(shader.Active());
  EXPECT_EQ(gl.rci.lightingDisabledCounter, 0);
  EXPECT_TRUE(gl.cache.StateEnabled(stLighting));
  EXPECT_FALSE(gl.cache.StateEnabled(stTexture2D));
  EXPECT_TRUE(gl.Has("glLoadIdentity", {}));  // the texture matrix is reset
  EXPECT_EQ(DrawPasses(m, gl.rci), 1);        // reported once: later frames draw
  EXPECT_FALSE(shader.Active());
  EXPECT_TRUE(gl.cache.StateEnabled(stLighting));

  TGLMaterial units(nullptr);
  missingPicture(units.TextureEx()->Add()->Texture());
  gl.rec.Clear();
  EXPECT_THROW(units.Apply(gl.rci), ETexture);
  EXPECT_EQ(gl.rec.Count("glPushMatrix"), 1);
  EXPECT_EQ(gl.rec.Count("glPopMatrix"), 1);
}

TEST_F(Material, SameLookNeedsEverySettingAndOneSharedPicture) {
  TGLMaterial a(nullptr), b(nullptr);
  EXPECT_TRUE(a.SameLook(b));
  auto change = [&](auto&& set, auto&& undo) {
    set(b);
    const bool same = a.SameLook(b) || b.SameLook(a);
    undo(b);
    return same;
  };
  EXPECT_FALSE(change([](TGLMaterial& m) { m.FrontProperties()->Diffuse()->SetAlpha(0.75f); },
                      [](TGLMaterial& m) { m.FrontProperties()->Diffuse()->SetAlpha(1); }));
  EXPECT_FALSE(change([](TGLMaterial& m) { m.FrontProperties()->SetShininess(3); },
                      [](TGLMaterial& m) { m.FrontProperties()->SetShininess(0); }));
  EXPECT_FALSE(change(
      [](TGLMaterial& m) {
        m.BackProperties()->Emission()->SetColor(TVector4f{{1, 0, 0, 1}});
      },
      [](TGLMaterial& m) {
        m.BackProperties()->Emission()->SetColor(TVector4f{{0, 0, 0, 1}});
      }));
  EXPECT_FALSE(change([](TGLMaterial& m) { m.SetBlendingMode(bmTransparency); },
                      [](TGLMaterial& m) { m.SetBlendingMode(bmOpaque); }));
  EXPECT_FALSE(change([](TGLMaterial& m) { m.SetFaceCulling(fcNoCull); },
                      [](TGLMaterial& m) { m.SetFaceCulling(fcBufferDefault); }));
  EXPECT_TRUE(a.SameLook(b));
  // Textures: off (or never made) alike; each with its own picture not; one shared picture alike.
  b.Texture();
  EXPECT_TRUE(a.SameLook(b));
  a.Texture()->SetDisabled(false);
  b.Texture()->SetDisabled(false);
  EXPECT_FALSE(a.SameLook(b));
  auto face = std::make_shared<TGLTexture>(nullptr);
  a.Texture()->SetPictureSource(face);
  EXPECT_FALSE(a.SameLook(b));
  b.Texture()->SetPictureSource(face);
  EXPECT_TRUE(a.SameLook(b));
  b.TextureEx()->Add();
  EXPECT_FALSE(a.SameLook(b));  // further units are not compared
}

TEST_F(Material, AssignCopiesOrDropsTheOptionalParts) {
  TGLMaterial a(nullptr), b(nullptr);
  a.SetBlendingMode(bmAdditive);
  a.BackProperties()->SetShininess(7);
  a.TextureEx()->Add()->SetTextureIndex(3);
  b.Texture();
  b.Assign(&a);
  EXPECT_EQ(b.BlendingMode(), bmAdditive);
  ASSERT_NE(b.BackPropertiesIfAny(), nullptr);
  EXPECT_EQ(b.BackPropertiesIfAny()->Shininess(), 7);
  EXPECT_EQ(b.TextureIfAny(), nullptr);
  ASSERT_EQ(b.TextureExIfAny()->Count(), 1);
  EXPECT_EQ(b.TextureExIfAny()->Items(0)->TextureIndex(), 3);
}

TEST_F(Shader, PassesAndProtocolErrors) {
  TMaterialGL gl;
  TGLMaterialLibrary lib(nullptr);
  TCountingShader shader(nullptr);
  TGLLibMaterial* lm = lib.Materials()->Add();
  lm->SetShader(&shader);
  TGLMaterial m(nullptr);
  m.SetMaterialLibrary(&lib);
  m.SetLibMaterialName("LibMaterial");
  shader.morePasses = 2;
  EXPECT_EQ(DrawPasses(m, gl.rci), 3);
  EXPECT_EQ(shader.initializations, 1);
  EXPECT_FALSE(shader.Active());

  shader.Apply(gl.rci, nullptr);
  shader.SetEnabled(true);  // no change: allowed while active
  try {
    shader.Apply(gl.rci, nullptr);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Unbalanced shader application."), std::string::npos);
  }
  try {
    shader.SetEnabled(false);
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Shader is active."), std::string::npos);
  }
  EXPECT_FALSE(shader.UnApply(gl.rci));
  EXPECT_THROW(shader.UnApply(gl.rci), EAssertionFailed);

  // A change finalises the shader; the next use initialises it again.
  shader.NotifyChange(nullptr);
  EXPECT_FALSE(shader.Initialized());
  DrawPasses(m, gl.rci);
  EXPECT_EQ(shader.initializations, 2);

  // A replacing shader still closes the mapping bracket.
  shader.SetShaderStyle(ssReplaceMaterial);
  m.Apply(gl.rci);
  m.UnApply(gl.rci);
  SetMapTexCoordModeMain();
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);
}

TEST_F(MaterialLibrary, NamesHashesAndLookup) {
  TGLMaterialLibrary lib(nullptr);
  TGLLibMaterial* a = lib.Materials()->Add();
  TGLLibMaterial* b = lib.Materials()->Add();
  TGLLibMaterial* c = lib.Materials()->Add();
  EXPECT_EQ(a->Name(), "LibMaterial");
  EXPECT_EQ(b->Name(), "LibMaterial1");
  EXPECT_EQ(c->Name(), "LibMaterial2");
  c->SetName("LibMaterial");
  EXPECT_EQ(c->Name(), "LibMaterial3");  // its own name counts as taken
  b->SetName("A");
  a->SetName("A");
  EXPECT_EQ(a->Name(), "A1");
  EXPECT_EQ(lib.Materials()->FindMaterialByName("A"), b);
  EXPECT_EQ(lib.Materials()->FindMaterialByName("a"), nullptr);
  EXPECT_EQ(LibMaterialNameHash(""), 0u);
  EXPECT_EQ(LibMaterialNameHash("LibMaterial"), 202226u);
  EXPECT_EQ(LibMaterialNameHash("c_red"), 3262u);
}

namespace {

// The naming rules as a plain list: base, base1, base2, ... the first name no material has.
std::string FirstFreeName(const std::vector<std::string>& names, const std::string& base) {
  std::string candidate = base;
  for (int i = 1; std::find(names.begin(), names.end(), candidate) != names.end(); ++i)
    candidate = base + std::to_string(i);
  return candidate;
}

}  // namespace

// Names after adds, renames, copies, deletes, moves and stream loads, against the rules applied
// to a plain list of names. The pool makes collisions frequent and includes names that are
// another base followed by digits ("m1" + "2" and "m" + "12").
TEST_F(MaterialLibrary, UniqueNamesFollowTheRulesThroughEveryChange) {
  const std::vector<std::string> pool = {"m", "m1", "m12", "m2", "LibMaterial", "LibMaterial1", "", "1", "x0", "x"};
  TGLMaterialLibrary lib(nullptr);
  TGLLibMaterials* mats = lib.Materials();
  std::vector<std::string> model;
  std::mt19937 rng(7);
  auto pick = [&rng](size_t n) { return size_t(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };
  auto rename = [&](size_t i, const std::string& v) {
    if (v == model[i]) return;
    model[i] = std::find(model.begin(), model.end(), v) == model.end() ? v : FirstFreeName(model, v);
  };
  for (int step = 0; step < 4000; ++step) {
    const size_t op = pick(model.empty() ? 1 : 9);
    if (op <= 1) {
      model.push_back(FirstFreeName(model, "LibMaterial"));
      mats->Add();
    } else if (op <= 4) {
      const size_t i = pick(model.size());
      const std::string& v = pool[pick(pool.size())];
      rename(i, v);
      mats->Items(int(i))->SetName(v);
    } else if (op == 5) {
      const size_t i = pick(model.size()), from = pick(model.size());
      model[i] = FirstFreeName(model, model[from]);  // its own name counts as taken
      mats->Items(int(i))->Assign(mats->Items(int(from)));
    } else if (op == 6) {
      const size_t i = pick(model.size());
      model.erase(model.begin() + std::ptrdiff_t(i));
      mats->Delete(int(i));
    } else if (op == 7) {
      const size_t i = pick(model.size()), to = pick(model.size());
      const std::string name = model[i];
      model.erase(model.begin() + std::ptrdiff_t(i));
      model.insert(model.begin() + std::ptrdiff_t(to), name);
      mats->Items(int(i))->SetIndex(int(to));
    } else if (pick(20) == 0) {
      model.clear();
      mats->Clear();
    } else {
      // A stream of same-named records appended (merge mode off replaces everything).
      const bool merge = pick(2) == 0;
      TMemoryStream ms;
      {
        TBinaryWriter w(&ms);
        w.WriteInteger(0);
        const int n = int(pick(6)) + 1;
        w.WriteInteger(n);
        const float colours[13] = {};
        std::vector<std::string> records;
        for (int k = 0; k < n; ++k) {
          records.push_back(pool[pick(3)]);
          w.WriteString(records.back());
          w.WriteBoolean(false);
          w.Write(colours, sizeof colours);
        }
        if (!merge) model.clear();
        for (const std::string& r : records) {
          if (merge && std::find(model.begin(), model.end(), r) != model.end()) continue;
          model.push_back(FirstFreeName(model, "LibMaterial"));
          rename(model.size() - 1, r);
        }
      }
      ms.SetPosition(0);
      lib.SetMergeOnLoad(merge);
      lib.LoadFromStream(&ms);
    }
    ASSERT_EQ(mats->Count(), int(model.size())) << "step " << step;
    for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(mats->Items(int(i))->Name(), model[i]) << "step " << step;
    const std::string& probe = pool[pick(pool.size())];
    const auto first = std::find(model.begin(), model.end(), probe);
    ASSERT_EQ(mats->FindMaterialByName(probe), first == model.end() ? nullptr : mats->Items(int(first - model.begin())))
        << "step " << step << " " << probe;
  }
}

namespace {

// A version-0 library stream of records with these names, without pictures.
std::string NamedRecords(const std::vector<std::string>& names) {
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(0);
  w.WriteInteger(int(names.size()));
  const float colours[13] = {};
  for (const std::string& name : names) {
    w.WriteString(name);
    w.WriteBoolean(false);
    w.Write(colours, sizeof colours);
  }
  return s.DataString();
}

// Record names colliding in the ways a library file can: all one name, the default name, half
// distinct then the last of them again and again, every name twice, and a mix whose names are
// other names followed by digits.
std::vector<std::vector<std::string>> CollidingNamePatterns(int n) {
  std::vector<std::vector<std::string>> patterns(5);
  const int half = n / 2;
  std::mt19937 rng(11);
  const std::vector<std::string> pool = {"m", "m1", "m11", "m2", "m12", "m110", "LibMaterial", "LibMaterial2", ""};
  for (int i = 0; i < n; ++i) {
    patterns[0].push_back("stone");
    patterns[1].push_back("LibMaterial");
    patterns[2].push_back("m" + std::to_string(i < half ? i : half - 1));
    patterns[3].push_back("m" + std::to_string(i < half ? i : i - half));
    patterns[4].push_back(pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng)]);
  }
  return patterns;
}

// The names a load of these records into an empty library gives by the rules, on a plain list:
// each record is a new material ("LibMaterial" made unique), then renamed to its record's name,
// or to the first free name derived from it when another material has that name.
std::vector<std::string> NamesByTheRules(const std::vector<std::string>& records) {
  std::vector<std::string> names;
  for (const std::string& record : records) {
    names.push_back(FirstFreeName(names, "LibMaterial"));
    if (record == names.back()) continue;
    const bool taken = std::find(names.begin(), names.end(), record) != names.end();
    names.back() = taken ? FirstFreeName(names, record) : record;
  }
  return names;
}

}  // namespace

TEST_F(MaterialLibrary, LoadedNamesFollowTheRulesForEveryCollisionPattern) {
  for (const std::vector<std::string>& records : CollidingNamePatterns(300)) {
    const std::vector<std::string> expected = NamesByTheRules(records);
    TGLMaterialLibrary lib(nullptr);
    lib.Materials()->Add()->SetName("dropped");
    TStringStream in(NamedRecords(records));
    lib.LoadFromStream(&in);
    TGLLibMaterials* mats = lib.Materials();
    ASSERT_EQ(mats->Count(), int(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(mats->Items(int(i))->Name(), expected[i]) << records[i] << " at " << i;
      ASSERT_EQ(mats->FindMaterialByName(expected[i]), mats->Items(int(i)));
    }
    EXPECT_EQ(mats->FindMaterialByName("dropped"), nullptr);
    // Merged into itself, every record finds its material and nothing is added or renamed.
    TStringStream again(NamedRecords(expected));
    lib.SetMergeOnLoad(true);
    lib.LoadFromStream(&again);
    ASSERT_EQ(mats->Count(), int(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(mats->Items(int(i))->Name(), expected[i]);
  }
}

// Names stored as given while a form loads may repeat; the look-up still answers the first in
// collection order, also after the first one moves behind the others or goes.
TEST_F(MaterialLibrary, RepeatedNamesFindTheFirstInCollectionOrder) {
  TGLMaterialLibrary lib(nullptr);
  TGLLibMaterials* mats = lib.Materials();
  std::vector<TGLLibMaterial*> twins;
  lib.IncludeState(csLoading);
  for (int i = 0; i < 3; ++i) {
    twins.push_back(mats->Add());
    twins.back()->SetName("twin");
  }
  lib.ExcludeState(csLoading);
  EXPECT_EQ(mats->FindMaterialByName("twin"), twins[0]);
  twins[0]->SetIndex(2);
  EXPECT_EQ(mats->FindMaterialByName("twin"), twins[1]);
  mats->Delete(0);
  EXPECT_EQ(mats->FindMaterialByName("twin"), twins[2]);
  mats->Add()->SetName("twin");
  EXPECT_EQ(mats->Items(2)->Name(), "twin1");
  twins[2]->SetName("single");
  EXPECT_EQ(mats->FindMaterialByName("twin"), twins[0]);
  EXPECT_EQ(mats->FindMaterialByName("single"), twins[2]);
}

// The naming work of a load, counted in steps (look-ups, candidates tried, items compared), grows
// with the record count alone, whatever the pattern of collisions: a rule that tries the
// candidates from the start for every record, or a look-up that searches the list from its start
// for the first holder of a name, makes it grow with the square.
TEST_F(MaterialLibrary, NamingStepsGrowLinearlyForEveryCollisionPattern) {
  constexpr int n = 4000;
  constexpr uint64_t kStepsPerRecord = 12;
  const auto patterns = CollidingNamePatterns(n);
  for (size_t p = 0; p < patterns.size(); ++p)
    for (bool merge : {false, true}) {
      TGLMaterialLibrary lib(nullptr);
      lib.SetMergeOnLoad(merge);
      TStringStream in(NamedRecords(patterns[p]));
      const uint64_t before = lib.Materials()->NameSteps();
      lib.LoadFromStream(&in);
      const uint64_t steps = lib.Materials()->NameSteps() - before;
      EXPECT_LE(steps, kStepsPerRecord * n) << "pattern " << p << (merge ? ", merged" : "");
    }
}

TEST_F(MaterialLibrary, TexturePathsAndSearch) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  std::ofstream(folder + "/wood.bmp") << "x";
  TGLMaterialLibrary lib(nullptr);
  lib.SetTexturePaths(" a ; ;b\\ ;c");
  EXPECT_EQ(lib.TexturePathList(), (std::vector<std::string>{"a\\", "b\\", "c\\"}));
  lib.SetTexturePaths("nowhere;" + folder);
  std::string name = "wood.bmp";
  lib.DoTextureNeeded(nullptr, name);
  EXPECT_EQ(name, folder + "\\wood.bmp");
  for (std::string absolute : {"C:\\wood.bmp", "\\wood.bmp"}) {
    std::string n = absolute;
    lib.DoTextureNeeded(nullptr, n);
    EXPECT_EQ(n, absolute);
  }
  std::string missing = "none.bmp";
  lib.OnTextureNeeded = [](TObject* sender, std::string& n) {
    EXPECT_TRUE(sender->Is<TGLMaterialLibrary>());
    n = "renamed.bmp";
  };
  lib.DoTextureNeeded(nullptr, missing);
  EXPECT_EQ(missing, "renamed.bmp");
}

std::string Bytes(TMemoryStream& ms) {
  std::string s(size_t(ms.Size()), '\0');
  ms.SetPosition(0);
  ms.ReadBuffer(s.data(), ms.Size());
  ms.SetPosition(0);
  return s;
}

TEST_F(MaterialLibrary, StreamGoldenBytesAndRoundTrip) {
  TGLMaterialLibrary lib(nullptr);
  lib.Materials()->Add();
  TMemoryStream ms;
  lib.SaveToStream(&ms);
  const std::string golden = Bytes(ms);
  ASSERT_EQ(golden.size(), 161u);
  EXPECT_EQ(golden.substr(0, 18), std::string("\x02\x02\x02\x01\x06\x0BLibMaterial\x08", 18));
  EXPECT_EQ(golden.substr(18, 4), "\xCD\xCC\x4C\x3E");

  TGLLibMaterial* lm = lib.Materials()->Items(0);
  TGLMaterial* m = lm->Material();
  TBitmap picture(4, 4, pf24bit);
  picture.Canvas().SetPixel(1, 2, clRed);
  m->Texture()->Image()->Assign(&picture);
  m->Texture()->SetEnabled(true);
  m->FrontProperties()->Diffuse()->SetColor(TVector4f{{0.1f, 0.2f, 0.3f, 0.4f}});
  m->FrontProperties()->SetShininess(33);
  m->BackProperties()->SetPolygonMode(pmPoints);
  m->SetBlendingMode(bmAlphaTest100);
  m->SetMaterialOptions({moIgnoreFog});
  lm->TextureScale()->SetXYZW(2, 3, 1, 0);
  lm->SetTexture2Name("other");
  TGLTextureExItem* unit = m->TextureEx()->Add();
  unit->SetTextureIndex(2);
  unit->TextureOffset()->SetX(0.5f);
  unit->Texture()->Image()->Assign(&picture);
  unit->Texture()->SetEnabled(true);
  TMemoryStream full;
  lib.SaveToStream(&full);

  TGLMaterialLibrary back(nullptr);
  back.Materials()->Add()->SetName("dropped");
  full.SetPosition(0);
  back.LoadFromStream(&full);
  ASSERT_EQ(back.Materials()->Count(), 1);
  TGLLibMaterial* lm2 = back.Materials()->Items(0);
  TGLMaterial* m2 = lm2->Material();
  EXPECT_EQ(lm2->Name(), "LibMaterial");
  EXPECT_EQ(
      std::memcmp(m2->FrontProperties()->Diffuse()->GetColorPtr(), m->FrontProperties()->Diffuse()->GetColorPtr(), 16),
      0);
  EXPECT_EQ(m2->FrontProperties()->Shininess(), 33);
  EXPECT_EQ(m2->BackProperties()->PolygonMode(), pmPoints);
  EXPECT_EQ(m2->BlendingMode(), bmAlphaTest100);
  EXPECT_EQ(m2->MaterialOptions(), TMaterialOptions{moIgnoreFog});
  EXPECT_FALSE(lm2->TextureMatrixIsIdentity());  // matrices follow the loaded offsets
  EXPECT_EQ(lm2->TextureMatrix()[1][1], 3.0f);
  EXPECT_EQ(lm2->Texture2Name(), "other");
  EXPECT_TRUE(m2->Texture()->Enabled());
  EXPECT_EQ(m2->Texture()->TextureMode(), tmModulate);
  auto* image = static_cast<TGLPersistentImage*>(m2->Texture()->Image());
  ASSERT_EQ(image->GetWidth(), 4);
  EXPECT_EQ(image->Picture()->Bitmap().Canvas().Pixel(1, 2), clRed);
  ASSERT_EQ(m2->TextureEx()->Count(), 1);
  EXPECT_EQ(m2->TextureEx()->Items(0)->TextureIndex(), 2);
  EXPECT_FALSE(m2->TextureEx()->Items(0)->TextureMatrixIsIdentity());
  EXPECT_TRUE(m2->TextureEx()->Items(0)->Texture()->Enabled());

  TMemoryStream again;
  back.SaveToStream(&again);
  EXPECT_EQ(Bytes(again), Bytes(full));
}

namespace {

void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char(uint8_t(v >> (8 * i)));
}

// A run-length BMP (RLE8, two colours) claiming width x height pixels, its rows left undefined by
// `rows` end-of-line codes and an end of bitmap: small, and as large as the codes allow.
std::string RunLengthPicture(int width, int height, int rows) {
  std::string b(14 + 40 + 8, '\0');
  b[0] = 'B', b[1] = 'M';
  Put32(b, 10, uint32_t(b.size()));
  Put32(b, 14, 40);
  Put32(b, 18, uint32_t(width));
  Put32(b, 22, uint32_t(height));
  b[26] = 1, b[28] = 8;
  Put32(b, 30, 1);
  Put32(b, 46, 2);
  for (int i = 0; i < rows; ++i) b += std::string(2, '\0');
  b += std::string("\0\1", 2);
  Put32(b, 2, uint32_t(b.size()));
  return b;
}

// A version-0 stream of records with these names and pictures.
std::string PictureRecords(const std::vector<std::pair<std::string, std::string>>& records) {
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(0);
  w.WriteInteger(int(records.size()));
  const float colours[13] = {};
  for (const auto& [name, picture] : records) {
    w.WriteString(name);
    w.WriteBoolean(true);
    w.WriteString(picture);
    w.Write(colours, sizeof colours);
  }
  return s.DataString();
}

// A version-2 stream of one record with a picture and one extra unit with another.
std::string RecordWithUnitPicture(const std::string& name, const std::string& picture, const std::string& unitPicture) {
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(2);
  w.WriteInteger(1);
  w.WriteString(name);
  w.WriteBoolean(true);
  w.WriteString(picture);
  const uint8_t face[53] = {};  // four colours and the shininess
  for (int f = 0; f < 2; ++f) {
    w.Write(face, sizeof face);
    w.WriteInteger(pmFill);
  }
  w.WriteInteger(bmOpaque);
  w.WriteInteger(1);
  const uint8_t options = 0;
  w.Write(&options, 1);
  const float offsetAndScale[6] = {0, 0, 0, 1, 1, 1};
  w.Write(offsetAndScale, sizeof offsetAndScale);
  w.WriteString("");
  w.WriteInteger(1);
  w.WriteBoolean(true);
  w.WriteString(unitPicture);
  w.WriteInteger(1);
  w.Write(offsetAndScale, sizeof offsetAndScale);
  return s.DataString();
}

}  // namespace

// The pictures of one load count against one budget by the sizes they claim, before any of them
// is decoded; the record whose picture would pass it, or whose picture is refused, fails the load
// with its material named, and the library stays as it was.
TEST_F(MaterialLibrary, PicturesOfALoadCountAgainstOneBudget) {
  const std::string small = RunLengthPicture(64, 64, 64);
  // Alone, exactly the budget (and no more pixels a byte than run-length codes may claim).
  const std::string wholeBudget = RunLengthPicture(8192, 8192, 8192);
  ASSERT_EQ(int64_t(8192) * 8192, MaxLibraryLoadTexels);
  TGLMaterialLibrary lib(nullptr);
  lib.Materials()->Add()->SetName("kept");
  auto refused = [&lib](const std::string& stream, const std::string& material, const std::string& why) {
    TStringStream in(stream);
    try {
      lib.LoadFromStream(&in);
      ADD_FAILURE() << material << ": loaded";
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), "Picture of material '" + material + "' refused: " + why);
    }
    ASSERT_EQ(lib.Materials()->Count(), 1);
    EXPECT_EQ(lib.Materials()->Items(0)->Name(), "kept");
  };
  const std::string overBudget =
      "with its 8192 x 8192 texels the pictures of this library load would pass 67,108,864 texels (256 MB)";
  refused(PictureRecords({{"small", small}, {"big", wholeBudget}}), "big", overBudget);
  refused(RecordWithUnitPicture("units", small, wholeBudget), "units", overBudget);
  refused(PictureRecords({{"small", small}, {"tiny", RunLengthPicture(5600, 5600, 1)}}), "tiny",
          "Bitmap image is not valid: 4 bytes of run-length codes cannot make 5600 x 5600 pixels");

  TStringStream fits(RecordWithUnitPicture("units", small, small));
  lib.LoadFromStream(&fits);
  ASSERT_EQ(lib.Materials()->Count(), 1);
  TGLMaterial* m = lib.Materials()->Items(0)->Material();
  EXPECT_EQ(static_cast<TGLPersistentImage*>(m->Texture()->Image())->GetWidth(), 64);
  ASSERT_EQ(m->TextureEx()->Count(), 1);
  EXPECT_TRUE(m->TextureEx()->Items(0)->Texture()->Enabled());
}

// Pictures are decoded only once the whole stream has been read and counted: a load refused
// further on decodes none of them. A picture whose header passes but whose palette count the
// decoder refuses shows it: alone it fails the load when decoded; followed by a record past the
// budget, the budget is what the load is refused for.
TEST_F(MaterialLibrary, ALoadRefusedFurtherOnDecodesNoPicture) {
  std::string undecodable(14 + 40 + 8 + 8, '\0');
  undecodable[0] = 'B', undecodable[1] = 'M';
  Put32(undecodable, 2, uint32_t(undecodable.size()));
  Put32(undecodable, 10, 14 + 40 + 8);
  Put32(undecodable, 14, 40);
  Put32(undecodable, 18, 2);
  Put32(undecodable, 22, 2);
  undecodable[26] = 1, undecodable[28] = 8;
  Put32(undecodable, 46, 1000);  // colours in the palette: far more than the file holds
  ASSERT_EQ(TBitmap::CheckedSize(reinterpret_cast<const uint8_t*>(undecodable.data()), undecodable.size()).cx, 2);
  const std::string wholeBudget = RunLengthPicture(8192, 8192, 8192);
  auto refusal = [](const std::string& stream) {
    TGLMaterialLibrary lib(nullptr);
    TStringStream in(stream);
    try {
      lib.LoadFromStream(&in);
    } catch (const EReadError& e) {
      return e.Message();
    }
    return std::string("loaded");
  };
  EXPECT_EQ(refusal(PictureRecords({{"early", undecodable}})),
            "Picture of material 'early' refused: Bitmap image is not valid: cannot decode");
  EXPECT_EQ(refusal(PictureRecords({{"early", undecodable}, {"late", wholeBudget}})),
            "Picture of material 'late' refused: with its 8192 x 8192 texels the pictures of this library load "
            "would pass 67,108,864 texels (256 MB)");
}

TEST_F(MaterialLibrary, VersionsDamageAndMerge) {
  TGLMaterialLibrary lib(nullptr);
  TGLLibMaterial* keep = lib.Materials()->Add();
  keep->SetName("keep");
  TMemoryStream v3;
  {
    TBinaryWriter w(&v3);
    w.WriteInteger(3);
    w.WriteInteger(0);
  }
  v3.SetPosition(0);
  try {
    lib.LoadFromStream(&v3);
    FAIL();
  } catch (const EFilerException& e) {
    EXPECT_EQ(e.Message(), "TGLMaterialLibrary : unknown archive version 3");
  }
  EXPECT_EQ(lib.Materials()->Items(0), keep);

  // Version 0: names, pictures and the four front colours only.
  TMemoryStream v0;
  {
    TBinaryWriter w(&v0);
    w.WriteInteger(0);
    w.WriteInteger(1);
    w.WriteString("old");
    w.WriteBoolean(false);
    const float colours[13] = {1, 0, 0, 0, 1, 0, 0.5f, 0, 0, 1, 0, 0, 1};
    w.Write(colours, sizeof colours);
  }
  v0.SetPosition(0);
  lib.LoadFromStream(&v0);
  ASSERT_EQ(lib.Materials()->Count(), 1);
  TGLMaterial* old = lib.Materials()->Items(0)->Material();
  EXPECT_EQ(lib.Materials()->Items(0)->Name(), "old");
  EXPECT_EQ(old->FrontProperties()->Ambient()->Red(), 1.0f);
  EXPECT_EQ(old->FrontProperties()->Ambient()->Alpha(), 1.0f);  // 12-byte colour keeps alpha
  EXPECT_EQ(old->FrontProperties()->Diffuse()->Alpha(), 0.5f);
  EXPECT_EQ(old->BackPropertiesIfAny(), nullptr);

  // A truncated stream changes nothing.
  TGLMaterialLibrary src(nullptr);
  src.Materials()->Add()->Material()->TextureEx()->Add();
  TMemoryStream full;
  src.SaveToStream(&full);
  std::string cut = Bytes(full);
  cut.resize(cut.size() - 5);
  TMemoryStream damaged;
  damaged.WriteBuffer(cut.data(), std::int64_t(cut.size()));
  damaged.SetPosition(0);
  EXPECT_THROW(lib.LoadFromStream(&damaged), EReadError);
  EXPECT_EQ(lib.Materials()->Items(0)->Name(), "old");

  // Merge: same-named materials keep their identity and gain the units read.
  src.Materials()->Items(0)->SetName("old");
  full.SetSize(0);
  src.SaveToStream(&full);
  full.SetPosition(0);
  TGLLibMaterial* before = lib.Materials()->Items(0);
  lib.SetMergeOnLoad(true);
  lib.LoadFromStream(&full);
  ASSERT_EQ(lib.Materials()->Count(), 1);
  EXPECT_EQ(lib.Materials()->Items(0), before);
  EXPECT_EQ(before->Material()->TextureEx()->Count(), 1);
}

namespace {

// An 8 x 8 picture: blue, with a red pixel at (1, 2); 32-bit pictures have alpha 77 but at (1, 2).
std::unique_ptr<TBitmap> LibraryPicture(TPixelFormat format) {
  auto b = std::make_unique<TBitmap>(8, 8, format);
  b->Canvas().Brush().SetColor(clBlue);
  b->Canvas().FillRect(Rect(0, 0, 8, 8));
  b->Canvas().SetPixel(1, 2, clRed);
  if (format == pf32bit)
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) b->ScanLine(y)[x * 4 + 3] = x == 1 && y == 2 ? 200 : 77;
  return b;
}

TBitmap* PictureOf(TGLTexture* t) {
  return dynamic_cast<TBitmap*>(static_cast<TGLPictureImage*>(t->Image())->Picture()->Graphic());
}

}  // namespace

// A library saved and loaded back keeps every texture's picture: a switched-off texture's (and it
// stays off), a picture-file texture's (read through the library's folders, no longer needed once
// saved) and a 32-bit picture's alpha.
TEST_F(MaterialLibrary, StreamKeepsThePicturesOfEveryTexture) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath("Images"));
  LibraryPicture(pf24bit)->SaveToFile(dir.filePath("Images/host.bmp").toStdString());
  TGLMaterialLibrary lib(nullptr);
  lib.SetTexturePaths(dir.path().toStdString());
  TGLTexture* off = lib.Materials()->Add()->Material()->Texture();
  off->Image()->Assign(LibraryPicture(pf24bit).get());
  off->SetDisabled(true);
  TGLTextureExItem* offUnit = lib.Materials()->Items(0)->Material()->TextureEx()->Add();
  offUnit->Texture()->Image()->Assign(LibraryPicture(pf24bit).get());
  TGLTexture* file = lib.Materials()->Add()->Material()->Texture();
  file->SetImageClassName("TGLPicFileImage");
  static_cast<TGLPicFileImage*>(file->Image())->SetPictureFileName("Images/host.bmp");
  file->SetDisabled(false);
  TGLTexture* alpha = lib.Materials()->Add()->Material()->Texture();
  alpha->Image()->Assign(LibraryPicture(pf32bit).get());
  alpha->SetDisabled(false);
  TMemoryStream ms;
  lib.SaveToStream(&ms);
  QFile::remove(dir.filePath("Images/host.bmp"));

  TGLMaterialLibrary back(nullptr);
  ms.SetPosition(0);
  back.LoadFromStream(&ms);
  ASSERT_EQ(back.Materials()->Count(), 3);
  for (int i = 0; i < 3; ++i) {
    TGLTexture* t = back.Materials()->Items(i)->Material()->Texture();
    SCOPED_TRACE(back.Materials()->Items(i)->Name());
    EXPECT_EQ(t->Enabled(), i != 0);
    TBitmap* picture = PictureOf(t);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->Width(), 8);
    EXPECT_EQ(picture->Height(), 8);
    EXPECT_EQ(picture->Canvas().Pixel(1, 2), clRed);
    EXPECT_EQ(picture->Canvas().Pixel(2, 1), clBlue);
    EXPECT_EQ(picture->PixelFormat(), i == 2 ? pf32bit : pf24bit);
  }
  const TBitmap* withAlpha = PictureOf(back.Materials()->Items(2)->Material()->Texture());
  EXPECT_EQ(withAlpha->ScanLine(2)[1 * 4 + 3], 200);
  EXPECT_EQ(withAlpha->ScanLine(7)[5 * 4 + 3], 77);
  const TGLTextureEx* units = back.Materials()->Items(0)->Material()->TextureExIfAny();
  ASSERT_NE(units, nullptr);
  ASSERT_EQ(units->Count(), 1);
  EXPECT_TRUE(units->Items(0)->Texture()->Disabled());
  ASSERT_NE(PictureOf(units->Items(0)->Texture()), nullptr);
  EXPECT_EQ(PictureOf(units->Items(0)->Texture())->Width(), 8);
}

// A picture let go after its upload is made again to be saved; a picture file that cannot be read
// fails the save before anything is written, instead of saving the texture without its picture.
TEST_F(MaterialLibrary, SavedPicturesAreMadeAgainOrTheSaveFails) {
  TGLMaterialLibrary lib(nullptr);
  TGLTexture* drawn = lib.Materials()->Add()->Material()->Texture();
  auto* image = static_cast<TGLPictureImage*>(drawn->Image());
  image->SetRemake([](TPicture& picture) { picture.Assign(LibraryPicture(pf24bit).get()); });
  image->Picture()->Assign(LibraryPicture(pf24bit).get());
  drawn->SetDisabled(false);
  image->ReleaseSourceAfterUpload();
  ASSERT_EQ(image->PictureIfAny(), nullptr);
  TMemoryStream ms;
  lib.SaveToStream(&ms);
  TGLMaterialLibrary back(nullptr);
  ms.SetPosition(0);
  back.LoadFromStream(&ms);
  ASSERT_NE(PictureOf(back.Materials()->Items(0)->Material()->Texture()), nullptr);
  EXPECT_EQ(PictureOf(back.Materials()->Items(0)->Material()->Texture())->Canvas().Pixel(1, 2), clRed);

  TGLTexture* file = lib.Materials()->Add()->Material()->Texture();
  file->SetImageClassName("TGLPicFileImage");
  static_cast<TGLPicFileImage*>(file->Image())->SetPictureFileName("Images/missing.bmp");
  // Shown, its picture would be lost: the save fails. Switched off, it is kept off without one.
  file->SetDisabled(false);
  TMemoryStream failed;
  try {
    lib.SaveToStream(&failed);
    ADD_FAILURE() << "saved without its picture";
  } catch (const ETexture& e) {
    EXPECT_EQ(e.Message(), "Could not open file: Images/missing.bmp");
  }
  EXPECT_EQ(failed.Size(), 0);
  file->SetDisabled(true);
  TMemoryStream offSaved;
  lib.SaveToStream(&offSaved);
  offSaved.SetPosition(0);
  TGLMaterialLibrary offBack(nullptr);
  offBack.LoadFromStream(&offSaved);
  ASSERT_EQ(offBack.Materials()->Count(), 2);
  EXPECT_TRUE(offBack.Materials()->Items(1)->Material()->Texture()->Disabled());
  static_cast<TGLPicFileImage*>(file->Image())->SetPictureFileName("");
  TMemoryStream noFile;
  lib.SaveToStream(&noFile);
  EXPECT_GT(noFile.Size(), ms.Size());
}

// A library written before switched-off textures kept their pictures: "off" (a switched-off 4 x 4
// picture), "file" (a picture file, enabled) and "alpha" (a 32-bit picture, alpha 77, and an extra
// unit). It loads as it always did, but for the alpha the reader now keeps, and writes back the
// same bytes.
TEST_F(MaterialLibrary, LibrariesWrittenBeforeLoadAsThenAndWriteBackTheSame) {
  const std::string old(
      "\x02\x02\x02\x03\x06\x03\x6F\x66\x66\x08\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\x00\x00"
      "\x80\x3E\x00\x00\x00\x3F\x00\x00\x40\x3F\x00\x00\x00\x3F\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xCD\xCC\x4C\x3E\xCD\xCC\x4C"
      "\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\x00\x00\x80\x3F\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00"
      "\x02\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x3F\x00\x00\x80"
      "\x3F\x00\x00\x80\x3F\x06\x00\x02\x00\x06\x04\x66\x69\x6C\x65\x08\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E"
      "\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\x00\x00\x80\x3F\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x28\x02\x00\xCD"
      "\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\x00"
      "\x00\x80\x3F\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x02\x00\x02\x00\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x40\x00\x00\x00\x40\x00\x00\x80\x3F\x06\x00\x02\x00\x06\x05\x61\x6C\x70\x68\x61\x09\x06"
      "\x76\x42\x4D\x76\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x04\x00\x00\x00\x04"
      "\x00\x00\x00\x01\x00\x20\x00\x00\x00\x00\x00\x40\x00\x00\x00\xC4\x0E\x00\x00\xC4\x0E\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF"
      "\x00\x00\x4D\x00\x00\xFF\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF"
      "\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xFF\x00\x00\x4D\xCD"
      "\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\xCD\xCC\x4C\x3F\x00"
      "\x00\x80\x3F\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x02\x00\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3E\xCD\xCC\x4C\x3F\xCD\xCC"
      "\x4C\x3F\xCD\xCC\x4C\x3F\x00\x00\x80\x3F\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x01\x02\x00\x02\x01\x02\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x80\x3F\x00\x00\x80\x3F\x00\x00\x80\x3F\x06\x03\x6F\x66\x66\x02"
      "\x01\x08\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x3F\x00\x00\x80\x3F"
      "\x00\x00\x80\x3F",
      604);
  TGLMaterialLibrary lib(nullptr);
  TStringStream in(old);
  lib.LoadFromStream(&in);
  ASSERT_EQ(lib.Materials()->Count(), 3);
  TGLLibMaterial* off = lib.Materials()->Items(0);
  TGLLibMaterial* file = lib.Materials()->Items(1);
  TGLLibMaterial* alpha = lib.Materials()->Items(2);
  EXPECT_EQ(off->Name(), "off");
  EXPECT_EQ(file->Name(), "file");
  EXPECT_EQ(alpha->Name(), "alpha");
  // Without a stored picture: switched off and empty, as these always loaded.
  for (TGLLibMaterial* lm : {off, file}) {
    EXPECT_TRUE(lm->Material()->Texture()->Disabled()) << lm->Name();
    EXPECT_EQ(lm->Material()->Texture()->Image()->GetWidth(), 0) << lm->Name();
  }
  EXPECT_EQ(off->Material()->FrontProperties()->Diffuse()->Blue(), 0.75f);
  EXPECT_EQ(off->Material()->BlendingMode(), bmTransparency);
  EXPECT_EQ(file->Material()->FrontProperties()->Shininess(), 40);
  EXPECT_EQ(file->TextureMatrix()[0][0], 2.0f);
  TGLMaterial* m = alpha->Material();
  EXPECT_TRUE(m->Texture()->Enabled());
  EXPECT_EQ(m->Texture()->TextureMode(), tmModulate);
  EXPECT_EQ(m->BackProperties()->PolygonMode(), pmLines);
  EXPECT_EQ(m->MaterialOptions(), TMaterialOptions{moNoLighting});
  EXPECT_EQ(alpha->Texture2Name(), "off");
  ASSERT_EQ(m->TextureEx()->Count(), 1);
  EXPECT_EQ(m->TextureEx()->Items(0)->TextureIndex(), 1);
  EXPECT_TRUE(m->TextureEx()->Items(0)->Texture()->Disabled());
  TBitmap* picture = PictureOf(m->Texture());
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->Width(), 4);
  EXPECT_EQ(picture->Canvas().Pixel(1, 2), clRed);
  EXPECT_EQ(picture->PixelFormat(), pf32bit);
  EXPECT_EQ(picture->ScanLine(0)[3], 77);

  TMemoryStream again;
  lib.SaveToStream(&again);
  EXPECT_EQ(Bytes(again), old);
}

// Textures without a picture keep their on state and image kind through a library file: an
// enabled cube map with its faces, an enabled blank image with its size, a switched-off
// float-data unit and an enabled persistent image without a picture. Readers that know only the
// "off" bit find these records inside the options bytes and read such textures as before.
TEST_F(MaterialLibrary, TexturesWithoutAPictureKeepTheirStateAndKind) {
  TGLMaterialLibrary lib(nullptr);
  TGLTexture* cube = lib.Materials()->Add()->Material()->Texture();
  cube->SetImageClassName("TGLCubeMapImage");
  auto* faces = static_cast<TGLCubeMapImage*>(cube->Image());
  for (int i = 0; i < 6; ++i)
    if (i != cmtNY) faces->Picture(TGLCubeMapTarget(i))->SetGraphic(LibraryPicture(pf24bit).get());
  cube->SetDisabled(false);
  TGLMaterial* blankMaterial = lib.Materials()->Add()->Material();
  TGLTexture* blank = blankMaterial->Texture();
  blank->SetImageClassName("TGLBlankImage");
  static_cast<TGLBlankImage*>(blank->Image())->SetWidth(64);
  static_cast<TGLBlankImage*>(blank->Image())->SetHeight(32);
  blank->SetDisabled(false);
  TGLTexture* data = blankMaterial->TextureEx()->Add()->Texture();
  data->SetImageClassName("TGLFloatDataImage");
  static_cast<TGLFloatDataImage*>(data->Image())->SetWidth(16);
  data->SetDisabled(true);
  TGLTexture* unitOn = blankMaterial->TextureEx()->Add()->Texture();
  unitOn->Image()->Assign(LibraryPicture(pf24bit).get());
  unitOn->SetDisabled(false);
  TGLTexture* empty = lib.Materials()->Add()->Material()->Texture();
  empty->SetDisabled(false);
  lib.Materials()->Add();  // a default texture: nothing to keep
  TMemoryStream ms;
  lib.SaveToStream(&ms);

  TGLMaterialLibrary back(nullptr);
  ms.SetPosition(0);
  back.LoadFromStream(&ms);
  ASSERT_EQ(back.Materials()->Count(), 4);
  TGLTexture* cubeBack = back.Materials()->Items(0)->Material()->Texture();
  ASSERT_EQ(cubeBack->ImageClassName(), "TGLCubeMapImage");
  EXPECT_TRUE(cubeBack->Enabled());
  auto* facesBack = static_cast<TGLCubeMapImage*>(cubeBack->Image());
  for (int i = 0; i < 6; ++i) {
    TPicture* face = facesBack->Picture(TGLCubeMapTarget(i));
    EXPECT_EQ(face->Width(), i == cmtNY ? 0 : 8) << i;
    if (i != cmtNY) {
      EXPECT_EQ(static_cast<TBitmap*>(face->Graphic())->Canvas().Pixel(1, 2), clRed) << i;
    }
  }
  TGLMaterial* blankBack = back.Materials()->Items(1)->Material();
  ASSERT_EQ(blankBack->Texture()->ImageClassName(), "TGLBlankImage");
  EXPECT_TRUE(blankBack->Texture()->Enabled());
  EXPECT_EQ(blankBack->Texture()->Image()->GetWidth(), 64);
  EXPECT_EQ(blankBack->Texture()->Image()->GetHeight(), 32);
  ASSERT_EQ(blankBack->TextureEx()->Count(), 2);
  TGLTexture* dataBack = blankBack->TextureEx()->Items(0)->Texture();
  ASSERT_EQ(dataBack->ImageClassName(), "TGLFloatDataImage");
  EXPECT_TRUE(dataBack->Disabled());
  EXPECT_EQ(dataBack->Image()->GetWidth(), 16);
  EXPECT_TRUE(blankBack->TextureEx()->Items(1)->Texture()->Enabled());
  EXPECT_NE(PictureOf(blankBack->TextureEx()->Items(1)->Texture()), nullptr);
  TGLTexture* emptyBack = back.Materials()->Items(2)->Material()->Texture();
  EXPECT_EQ(emptyBack->ImageClassName(), "TGLPersistentImage");
  EXPECT_TRUE(emptyBack->Enabled());
  EXPECT_TRUE(back.Materials()->Items(3)->Material()->Texture()->Disabled());
  TMemoryStream again;
  back.SaveToStream(&again);
  EXPECT_EQ(Bytes(again), Bytes(ms));

  // A damaged record is refused with its material's name, and nothing is loaded.
  std::string bytes = Bytes(ms);
  const size_t at = bytes.find("TGLBlankImage");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2] = 'X';
  TStringStream damaged(bytes);
  try {
    back.LoadFromStream(&damaged);
    ADD_FAILURE() << "a damaged record was read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Texture of material 'LibMaterial1' refused: Unknown texture image class 'TGXBlankImage'");
  }
  EXPECT_EQ(back.Materials()->Count(), 4);
}

// A picture file shown and then gone, or changed on disk, saves the picture shown.
TEST_F(MaterialLibrary, APictureFileSavesThePictureShown) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("p.bmp").toStdString();
  LibraryPicture(pf24bit)->SaveToFile(path);
  TGLMaterialLibrary lib(nullptr);
  TGLTexture* file = lib.Materials()->Add()->Material()->Texture();
  file->SetImageClassName("TGLPicFileImage");
  auto* image = static_cast<TGLPicFileImage*>(file->Image());
  image->SetPictureFileName(path);
  file->SetDisabled(false);
  ASSERT_NE(image->GetBitmap32(GL_TEXTURE_2D), nullptr);  // shown (read as for an upload)
  image->ReleaseBitmap32();                               // as after the upload
  auto saved = [&] {
    TMemoryStream ms;
    lib.SaveToStream(&ms);
    TGLMaterialLibrary back(nullptr);
    ms.SetPosition(0);
    back.LoadFromStream(&ms);
    auto copy = std::make_unique<TBitmap>();
    copy->Assign(PictureOf(back.Materials()->Items(0)->Material()->Texture()));
    return copy;
  };

  // Changed on disk: a green picture now, the blue one shown.
  TBitmap green(8, 8, pf24bit);
  green.Canvas().Brush().SetColor(clLime);
  green.Canvas().FillRect(Rect(0, 0, 8, 8));
  green.SaveToFile(path);
  EXPECT_EQ(saved()->Canvas().Pixel(1, 2), clRed);
  EXPECT_EQ(saved()->Canvas().Pixel(3, 3), clBlue);
  // Gone.
  ASSERT_TRUE(QFile::remove(QString::fromStdString(path)));
  std::unique_ptr<TBitmap> gone;
  ASSERT_NO_THROW(gone = saved());
  EXPECT_EQ(gone->Canvas().Pixel(1, 2), clRed);
  // Shown again from the changed file: that is what is saved then.
  green.SaveToFile(path);
  image->Invalidate();
  ASSERT_NE(image->GetBitmap32(GL_TEXTURE_2D), nullptr);
  EXPECT_EQ(saved()->Canvas().Pixel(1, 2), clLime);

  // Written over in place while shown (truncated; then the blue picture, of the same size): the
  // picture shown is on disk no more. The save says which file changed and how, and writes
  // nothing; a switched-off texture takes the file as it is.
  const std::vector<uint8_t> blue = LibraryPicture(pf24bit)->SaveToBytes();
  for (const std::string& bytes : {std::string(), std::string(blue.begin(), blue.end())}) {
    std::ofstream(path, std::ios::binary | std::ios::in | std::ios::trunc) << bytes;
    TMemoryStream ms;
    try {
      lib.SaveToStream(&ms);
      ADD_FAILURE() << "saved without the picture shown";
    } catch (const ETexture& e) {
      const std::string told = "Picture file changed since it was shown: " + path + " (";
      EXPECT_EQ(e.Message().substr(0, told.size() + 4), told + (bytes.empty() ? "246 " : "othe")) << e.Message();
    }
    EXPECT_EQ(ms.Size(), 0);
  }
  file->SetDisabled(true);
  EXPECT_EQ(saved()->Canvas().Pixel(1, 2), clRed);
}

TEST_F(MaterialLibrary, LinksUsersAndCycles) {
  TMaterialGL gl;
  auto lib = std::make_unique<TGLMaterialLibrary>(nullptr);
  TGLLibMaterial* red = lib->Materials()->Add();
  red->SetName("red");
  red->Material()->SetBlendingMode(bmTransparency);
  TGLMaterial user(nullptr);
  user.SetLibMaterialName("red");
  EXPECT_EQ(user.LibMaterial(), nullptr);  // no library yet
  user.SetMaterialLibrary(lib.get());
  EXPECT_EQ(user.LibMaterial(), red);
  EXPECT_TRUE(user.Blended());
  DrawPasses(user, gl.rci);
  EXPECT_TRUE(gl.Has("glBlendFunc", {GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA}));

  // An unknown second texture is forgotten at the first apply.
  red->SetTexture2Name("nothing");
  DrawPasses(user, gl.rci);
  EXPECT_EQ(red->Texture2Name(), "");

  // Cycles: a material naming its own library material, and A -> B -> A.
  TGLLibMaterial* b = lib->Materials()->Add();
  b->SetName("b");
  b->Material()->SetMaterialLibrary(lib.get());
  try {
    b->Material()->SetLibMaterialName("b");
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("Error: Cyclic material reference detected!"), std::string::npos);
  }
  EXPECT_EQ(b->Material()->LibMaterialName(), "");
  red->Material()->SetMaterialLibrary(lib.get());
  red->Material()->SetLibMaterialName("b");
  EXPECT_THROW(b->Material()->SetLibMaterialName("red"), EAssertionFailed);

  // Destroying a library material detaches its users; destroying the library clears the rest.
  b->Material()->SetLibMaterialName("");
  red->Material()->SetLibMaterialName("");
  delete red;
  EXPECT_EQ(user.LibMaterial(), nullptr);
  EXPECT_EQ(user.LibMaterialName(), "");
  EXPECT_EQ(user.MaterialLibrary(), nullptr);
  TGLMaterial other(nullptr);
  other.SetMaterialLibrary(lib.get());
  other.SetLibMaterialName("b");
  lib.reset();
  EXPECT_EQ(other.MaterialLibrary(), nullptr);
  EXPECT_EQ(other.LibMaterial(), nullptr);
  DrawPasses(other, gl.rci);  // plain material again
}

}  // namespace

namespace {

// Stored scenes write a material's published properties by name and read them back.
TEST_F(Material, PublishedPropertiesRoundTrip) {
  TGLMaterial m(nullptr);
  m.SetBlendingMode(bmTransparency);
  m.SetMaterialOptions({moNoLighting});
  m.FrontProperties()->Diffuse()->SetColor(TVector4f{{0.1f, 0.2f, 0.3f, 0.5f}});
  m.FrontProperties()->SetShininess(12);
  m.Texture()->SetImageClassName("TGLBlankImage");
  static_cast<TGLBlankImage*>(m.Texture()->Image())->SetWidth(64);
  m.Texture()->SetTextureMode(tmModulate);
  m.Texture()->SetEnabled(true);
  m.Texture()->MappingSCoordinates()->SetX(0.5f);
  TGLTextureExItem* unit = m.TextureEx()->Add();
  unit->SetTextureIndex(2);
  unit->TextureScale()->SetXYZW(4, 2, 20, 0);

  TGLMaterial back(nullptr);
  CopyThroughStoredForm(&m, &back);
  EXPECT_EQ(back.BlendingMode(), bmTransparency);
  EXPECT_EQ(back.MaterialOptions(), TMaterialOptions{moNoLighting});
  EXPECT_EQ(back.FrontProperties()->Diffuse()->Alpha(), 0.5f);
  EXPECT_EQ(back.FrontProperties()->Shininess(), 12);
  EXPECT_EQ(back.BackPropertiesIfAny(), nullptr);
  ASSERT_NE(back.TextureIfAny(), nullptr);
  EXPECT_TRUE(back.Texture()->Enabled());
  EXPECT_EQ(back.Texture()->TextureMode(), tmModulate);
  ASSERT_TRUE(back.Texture()->Image()->Is<TGLBlankImage>());
  EXPECT_EQ(back.Texture()->Image()->GetWidth(), 64);
  EXPECT_EQ(back.Texture()->MappingSCoordinates()->X(), 0.5f);
  ASSERT_EQ(back.TextureEx()->Count(), 1);
  EXPECT_EQ(back.TextureEx()->Items(0)->TextureIndex(), 2);
  EXPECT_EQ(back.TextureEx()->Items(0)->TextureScale()->Y(), 2.0f);
}

}  // namespace

namespace {

TEST_F(MaterialLibrary, SecondTextureGoesToUnitOneWithItsMatrix) {
  TMaterialGL gl;
  TBitmap picture(4, 4, pf24bit);
  TGLMaterialLibrary lib(nullptr);
  TGLLibMaterial* base = lib.Materials()->Add();
  TGLLibMaterial* detail = lib.Materials()->Add();
  base->SetName("base");
  detail->SetName("detail");
  for (TGLLibMaterial* lm : {base, detail}) {
    lm->Material()->Texture()->Image()->Assign(&picture);
    lm->Material()->Texture()->SetEnabled(true);
  }
  detail->TextureScale()->SetXYZW(8, 8, 1, 0);
  base->SetTexture2Name("detail");
  TGLMaterial user(nullptr);
  user.SetMaterialLibrary(&lib);
  user.SetLibMaterialName("base");

  user.Apply(gl.rci);
  EXPECT_EQ(base->Texture2Material(), detail);
  EXPECT_TRUE(gl.Has("glActiveTextureARB", {GL_TEXTURE1_ARB}));
  ASSERT_EQ(gl.rec.Count("glLoadMatrixf"), 1);
  EXPECT_EQ(gl.rec.CallsTo("glLoadMatrixf")[0].Data[0], 8.0);
  EXPECT_EQ(MapTexCoordMode(), mtcmDual);  // both textures use the object's coordinates
  user.UnApply(gl.rci);
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);

  gl.rec.Clear();
  SuppressSecondTexCoordUnit();
  user.Apply(gl.rci);
  user.UnApply(gl.rci);
  RestoreSecondTexCoordUnit();
  EXPECT_FALSE(gl.Has("glActiveTextureARB", {GL_TEXTURE1_ARB}));
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);
}

}  // namespace
