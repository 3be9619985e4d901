// What one object sets in GL never reaches the objects drawn after it nor the next frame: every
// registered scene-object class, with its usual options, drawn between two plain cubes over three
// frames in a real off-screen context. The cubes read the pixels they read without it, and the
// state cache believes what GL holds, after the object and at the end of each frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Source/Further/GLMirror.h"
#include "Source/Further/GLShadowPlane.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLTilePlane.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "Source/Viewer/GLEngineClasses.h"
#include "tests/Source/Further/TiledAreaArchive.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 64;

// One row of tiles from (0, 0), each cell a material index.
void OneRowOfTiles(TGLTilePlane* plane, const std::vector<int32_t>& cells) {
  std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
  rows.push_back(MakeRow(0, cells));
  TGLTiledArea area;
  LoadArea(area, 0, std::move(rows));
  plane->SetTiles(&area);
}

// A 64 x 64 viewer looking down -Z from z 10 at a lit scene: a white cube A on the left, the
// object under test in the middle, a white cube B on the right, both cubes nearer the camera.
struct TLeakScene {
  TGLSceneGraph scene{nullptr};
  TGLMemoryViewer viewer{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLLightSource* light = nullptr;
  TGLCube* cubeA = nullptr;
  TGLDummyCube* middle = nullptr;  // what is under test goes under it
  TGLDirectOpenGL* afterMiddle = nullptr;
  TGLCube* cubeB = nullptr;
  TGLMaterialLibrary library{nullptr};
  // The cache against GL after the middle and at the end of each frame.
  std::string mismatches;

  TLeakScene() {
    LookDownAtXY(viewer, cam, kSize, true);
    light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->Position()->SetXYZAsPoint(0, 0, 10);
    cubeA = scene.Objects()->AddNewChild<TGLCube>();
    cubeA->Position()->SetXYZAsPoint(-1.6f, 0, 1);
    middle = scene.Objects()->AddNewChild<TGLDummyCube>();
    afterMiddle = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
    // A check only: the walk must not reset the cache after it, which would mend what it finds.
    afterMiddle->SetObjectStyle(afterMiddle->ObjectStyle() & ~osStateChanging);
    afterMiddle->OnRender = [this](TObject*, TRenderContextInfo& rci) {
      if (rci.GLStates) Note("after the object", rci.GLStates->Mismatches());
    };
    cubeB = scene.Objects()->AddNewChild<TGLCube>();
    cubeB->Position()->SetXYZAsPoint(1.6f, 0, 1);
    viewer.Buffer()->PostRender = [this](TObject*) { Note("end of frame", viewer.Buffer()->GLStates().Mismatches()); };
    auto* red = library.Materials()->Add();
    red->SetName("red-blended");
    red->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 0.5f});
    red->Material()->SetBlendingMode(bmTransparency);
    auto* green = library.Materials()->Add();
    green->SetName("green");
    green->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0, 1, 0, 1});
    auto* blue = library.Materials()->Add();
    blue->SetName("blue-blended");
    blue->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0, 0, 1, 0.5f});
    blue->Material()->SetBlendingMode(bmTransparency);
  }

  ~TLeakScene() {
    viewer.Buffer()->PostRender = nullptr;
    scene.Objects()->DeleteChildren();
  }

  void Note(const char* where, const std::string& found) {
    if (!found.empty() && mismatches.find(found) == std::string::npos) mismatches += std::string(where) + ": " + found;
  }

  TRgb PixelAt(float x, float y, float z) { return ::PixelAt(viewer, x, y, z); }
  float DepthAt(float x, float y, float z) { return ::DepthAt(viewer, x, y, z); }
  // The centres of the cubes' front faces.
  TRgb PixelA() { return PixelAt(-1.6f, 0, 1.5f); }
  TRgb PixelB() { return PixelAt(1.6f, 0, 1.5f); }

  // The cubes' pixels over three frames.
  std::vector<std::pair<TRgb, TRgb>> ThreeFrames() {
    std::vector<std::pair<TRgb, TRgb>> out;
    for (int frame = 0; frame < 3; ++frame) {
      viewer.Render();
      out.emplace_back(PixelA(), PixelB());
    }
    return out;
  }
};

struct GL_StateLeak : ::testing::Test {
  static void SetUpTestSuite() { RegisterEngineClasses(); }
  TLeakScene t;
  TGLSceneGraph& scene = t.scene;
  TGLMemoryViewer& viewer = t.viewer;
  TGLCube*& cubeA = t.cubeA;
  TGLCube*& cubeB = t.cubeB;
  TGLDummyCube*& middle = t.middle;
  TGLDirectOpenGL*& afterMiddle = t.afterMiddle;
  TGLMaterialLibrary& library = t.library;
  std::string& mismatches = t.mismatches;
  std::vector<std::pair<TRgb, TRgb>> ThreeFrames() { return t.ThreeFrames(); }
  TRgb PixelAt(float x, float y, float z) { return t.PixelAt(x, y, z); }
};

// ---------------------------------------------------------------------------------------------
// The faults by case, read as a viewer shows them.

// The tile plane applies its library's materials inside its display list: the cube after it is
// drawn in its own white in every frame, not in the tiles' green from the second frame on.
TEST_F(GL_StateLeak, TheCubeAfterATilePlaneKeepsItsColourInEveryFrame) {
  const auto without = ThreeFrames();
  auto* plane = middle->AddNewChild<TGLTilePlane>();
  plane->SetMaterialLibrary(&library);
  OneRowOfTiles(plane, {1});  // green
  const auto with = ThreeFrames();
  for (int frame = 0; frame < 3; ++frame) {
    EXPECT_EQ(Rgb(with[size_t(frame)].second), Rgb(without[size_t(frame)].second)) << "frame " << frame + 1;
    EXPECT_EQ(Rgb(with[size_t(frame)].first), Rgb(without[size_t(frame)].first)) << "frame " << frame + 1;
  }
  EXPECT_GT(without[0].second[0], 150);  // the cube is lit white
  EXPECT_EQ(mismatches, "");
  std::printf("tile plane: B %s %s %s (without it %s)\n", Rgb(with[0].second).c_str(), Rgb(with[1].second).c_str(),
              Rgb(with[2].second).c_str(), Rgb(without[0].second).c_str());
}

// Lines with red dodecahedron nodes send the nodes' colour inside their list.
TEST_F(GL_StateLeak, TheCubeAfterLinesWithDodecahedronNodesKeepsItsColour) {
  const auto without = ThreeFrames();
  auto* lines = middle->AddNewChild<TGLLines>();
  lines->AddNode(-0.5f, 0, 0);
  lines->AddNode(0.5f, 0, 0);
  lines->SetNodesAspect(lnaDodecahedron);
  lines->SetNodeSize(0.3f);
  lines->NodeColor()->SetColor(TVector4f{1, 0, 0, 1});
  const auto with = ThreeFrames();
  for (int frame = 0; frame < 3; ++frame)
    EXPECT_EQ(Rgb(with[size_t(frame)].second), Rgb(without[size_t(frame)].second)) << "frame " << frame + 1;
  EXPECT_EQ(mismatches, "");
  // The nodes themselves are red.
  const TRgb node = PixelAt(0.5f, 0, 0.25f);
  EXPECT_GT(node[0], 150) << Rgb(node);
  EXPECT_LT(node[1], 60) << Rgb(node);
  std::printf("lines: B %s %s %s (without them %s)\n", Rgb(with[0].second).c_str(), Rgb(with[1].second).c_str(),
              Rgb(with[2].second).c_str(), Rgb(without[0].second).c_str());
}

// A mirror reflecting a transparent cube: after the reflected pass its own surface is still
// blended (faint over the black background), not opaque white.
TEST_F(GL_StateLeak, AMirrorReflectingATransparentCubeStaysTransparent) {
  viewer.Buffer()->SetLighting(false);
  cubeA->SetVisible(false);
  cubeB->SetVisible(false);
  auto* mirror = middle->AddNewChild<TGLMirror>();
  mirror->SetWidth(8);
  mirror->SetHeight(8);
  auto* cube = scene.Objects()->AddNewChild<TGLCube>();
  cube->Position()->SetXYZAsPoint(1.5f, 0, 3);
  cube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 0.5f});
  cube->Material()->SetBlendingMode(bmTransparency);
  for (int frame = 0; frame < 3; ++frame) {
    viewer.Render();
    const TRgb reflected = PixelAt(1.5f, 0, -3), plain = PixelAt(-1.5f, 0, 0);
    EXPECT_LT(plain[0], 80) << "frame " << frame + 1 << ": " << Rgb(plain);
    EXPECT_GT(plain[0], 5) << "frame " << frame + 1 << ": " << Rgb(plain);  // the surface itself is drawn
    EXPECT_GT(reflected[0], 60) << "frame " << frame + 1 << ": " << Rgb(reflected);
    EXPECT_LT(reflected[1], 80) << "frame " << frame + 1 << ": " << Rgb(reflected);
    if (frame == 0) std::printf("mirror: surface %s, reflection %s\n", Rgb(plain).c_str(), Rgb(reflected).c_str());
  }
  EXPECT_EQ(mismatches, "");
}

// The check itself: a state changed behind the cache's back is reported, with what each holds.
TEST_F(GL_StateLeak, TheCacheCheckReportsAStateChangedBehindItsBack) {
  afterMiddle->OnRender = [](TObject*, TRenderContextInfo&) { GL.glEnable(GL_BLEND); };
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  EXPECT_NE(mismatches.find("GL_BLEND: cached off, GL on"), std::string::npos) << mismatches;
  // A material colour: checked where it is sent (the object after would send its own).
  std::string found;
  afterMiddle->OnRender = [&found](TObject*, TRenderContextInfo& rci) {
    static const GLfloat blue[4] = {0, 0, 1, 1}, cyan[4] = {0, 1, 1, 1};
    GL.glDisable(GL_BLEND);  // as the cache believes again
    rci.GLStates->SendMaterialColors(GL_FRONT, blue, blue, blue, blue, 0);
    EXPECT_EQ(rci.GLStates->Mismatches(), "");
    GL.glMaterialfv(GL_FRONT, GL_DIFFUSE, cyan);  // behind the cache
    found = rci.GLStates->Mismatches();
  };
  viewer.Render();
  EXPECT_EQ(found, "front diffuse: cached 0,0,1,1, GL 0,1,1,1\n");
}

// ---------------------------------------------------------------------------------------------
// The harness: every class, with its usual options.

// Set-ups that make a class draw what it usually draws.
void SetUpForUse(TLeakScene& t, TGLBaseSceneObject* obj) {
  if (auto* plane = dynamic_cast<TGLTilePlane*>(obj)) {
    plane->SetMaterialLibrary(&t.library);
    OneRowOfTiles(plane, {1, 2});  // green, blue blended
  }
  if (auto* lines = dynamic_cast<TGLNodedLines*>(obj)) {
    lines->AddNode(-0.5f, 0, 0);
    lines->AddNode(0.5f, 0.3f, 0);
    lines->SetNodesAspect(lnaDodecahedron);
    lines->SetNodeSize(0.3f);
    lines->NodeColor()->SetColor(TVector4f{1, 0, 0, 1});
  }
  if (auto* mirror = dynamic_cast<TGLMirror*>(obj)) {
    mirror->SetWidth(1);
    mirror->SetHeight(1);
    // Something in front of it to reflect, transparent like the usual reflected scenery.
    auto* cube = mirror->AddNewChild<TGLCube>();
    cube->SetCubeWidth(0.3f);
    cube->SetCubeHeight(0.3f);
    cube->SetCubeDepth(0.3f);
    cube->Position()->SetXYZAsPoint(0.2f, 0, 0.5f);
    cube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 0.5f});
    cube->Material()->SetBlendingMode(bmTransparency);
  }
  if (auto* volume = dynamic_cast<TGLShadowVolume*>(obj)) {
    auto* floor = volume->AddNewChild<TGLPlane>();
    floor->SetWidth(1);
    floor->SetHeight(1);
    auto* cube = volume->AddNewChild<TGLCube>();
    cube->SetCubeWidth(0.3f);
    cube->SetCubeHeight(0.3f);
    cube->SetCubeDepth(0.3f);
    cube->Position()->SetXYZAsPoint(0, 0, 0.5f);
    volume->Lights()->AddCaster(t.light);
    volume->Occluders()->AddCaster(cube);
  }
  if (auto* plane = dynamic_cast<TGLShadowPlane*>(obj)) {
    plane->SetWidth(1);
    plane->SetHeight(1);
    auto* cube = plane->AddNewChild<TGLCube>();  // casts its shadow on the plane
    cube->SetCubeWidth(0.3f);
    cube->SetCubeHeight(0.3f);
    cube->SetCubeDepth(0.3f);
    cube->Position()->SetXYZAsPoint(0, 0, 0.5f);
    plane->SetShadowedLight(t.light);
    plane->SetShadowingObject(cube);
  }
  if (auto* proxy = dynamic_cast<TGLProxyObject*>(obj)) {
    auto* master = t.scene.Objects()->AddNewChild<TGLSphere>();
    master->SetVisible(false);
    master->SetRadius(0.3f);
    proxy->SetMasterObject(master);
  }
}

struct TVariant {
  const char* name;
  // False when the variant does not apply to the object.
  std::function<bool(TLeakScene&, TGLBaseSceneObject*)> apply;
};

const std::vector<TVariant>& Variants() {
  static const std::vector<TVariant> variants = {
      {"plain", [](TLeakScene&, TGLBaseSceneObject*) { return true; }},
      {"blended",
       [](TLeakScene&, TGLBaseSceneObject* obj) {
         auto* custom = dynamic_cast<TGLCustomSceneObject*>(obj);
         if (!custom) return false;
         custom->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0, 0, 1, 0.5f});
         custom->Material()->SetBlendingMode(bmTransparency);
         return true;
       }},
      {"library material",
       [](TLeakScene& t, TGLBaseSceneObject* obj) {
         auto* custom = dynamic_cast<TGLCustomSceneObject*>(obj);
         if (!custom) return false;
         custom->Material()->SetMaterialLibrary(&t.library);
         custom->Material()->SetLibMaterialName("red-blended");
         return true;
       }},
      {"drawn directly",
       [](TLeakScene&, TGLBaseSceneObject* obj) {
         obj->SetObjectStyle(obj->ObjectStyle() | osDirectDraw);
         return true;
       }},
      {"amalgamated",
       [](TLeakScene& t, TGLBaseSceneObject*) {
         t.middle->SetAmalgamate(true);
         return true;
       }},
      {"in a shadow volume",
       [](TLeakScene& t, TGLBaseSceneObject* obj) {
         auto* volume = t.scene.Objects()->AddNewChild<TGLShadowVolume>();
         volume->SetIndex(t.middle->GetIndex());
         t.middle->MoveTo(volume);
         volume->Lights()->AddCaster(t.light);
         volume->Occluders()->AddCaster(obj);
         return true;
       }},
      {"mirrored",
       [](TLeakScene& t, TGLBaseSceneObject* obj) {
         auto* mirror = t.scene.Objects()->AddNewChild<TGLMirror>();
         mirror->SetIndex(t.middle->GetIndex());
         mirror->Position()->SetXYZAsPoint(0, 0, -1);
         mirror->SetWidth(1.5f);
         mirror->SetHeight(1.5f);
         mirror->SetMirrorObject(obj);
         return true;
       }},
  };
  return variants;
}

// Classes that are not drawn objects, with the reason.
const std::map<std::string, std::string>& NotDrawn() {
  static const std::map<std::string, std::string> classes = {
      {"TGLCamera", "a camera: it sets the view, draws nothing"},
      {"TGLLightSource", "a light: it lights the cubes, so their pixels differ by design"},
  };
  return classes;
}

TEST_F(GL_StateLeak, EveryRegisteredSceneObjectClassLeavesNothingBehind) {
  // The cubes alone: what every frame must read.
  const auto reference = ThreeFrames();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  ASSERT_GT(reference[0].second[0], 150);
  ASSERT_EQ(mismatches, "");
  const float depthB = t.DepthAt(1.6f, 0, 1.5f);

  std::vector<TClass> classes;
  for (TClass cls : RegisteredClasses())
    if (cls->InheritsFrom(TGLBaseSceneObject::StaticClass()) && (cls->OwnerFactory || cls->DefaultFactory))
      classes.push_back(cls);
  ASSERT_GT(classes.size(), 30u);

  std::string table, failures;
  int drawn = 0, cases = 0, leaking = 0;
  std::set<std::string> leakingClasses;
  for (TClass cls : classes) {
    if (NotDrawn().count(cls->Name)) {
      table += cls->Name + ": not drawn (" + NotDrawn().at(cls->Name) + ")\n";
      continue;
    }
    ++drawn;
    for (const TVariant& variant : Variants()) {
      // The case as a viewer shows it; a fresh scene each time, so that nothing of a case
      // reaches the next.
      const auto build = [&](TLeakScene& s) {
        TGLBaseSceneObject* obj = s.middle->AddNewChild(cls);
        SetUpForUse(s, obj);
        return variant.apply(s, obj);
      };
      std::string result;
      bool covers[2] = {false, false};
      try {
        {
          // Where the object itself shows over a cube's pixel, that pixel cannot tell.
          TLeakScene alone;
          if (!build(alone)) continue;
          alone.cubeA->SetVisible(false);
          alone.cubeB->SetVisible(false);
          alone.viewer.Render();
          // A is drawn before the object, which may draw over it; B after it, which hides B
          // only where it left a nearer depth.
          covers[0] = alone.PixelA() != TRgb{0, 0, 0};
          covers[1] = alone.PixelB() != TRgb{0, 0, 0} && alone.DepthAt(1.6f, 0, 1.5f) < depthB;
        }
        ++cases;
        TLeakScene s;
        build(s);
        const auto frames = s.ThreeFrames();
        for (int f = 0; f < 3; ++f) {
          const auto& [a, b] = frames[size_t(f)];
          const auto& [refA, refB] = reference[size_t(f)];
          if (!covers[0] && a != refA)
            result += "A frame " + std::to_string(f + 1) + " " + Rgb(a) + " (" + Rgb(refA) + "); ";
          if (!covers[1] && b != refB)
            result += "B frame " + std::to_string(f + 1) + " " + Rgb(b) + " (" + Rgb(refB) + "); ";
        }
        if (!s.mismatches.empty()) result += "cache: " + s.mismatches;
        if (covers[0] || covers[1])
          table += cls->Name + " [" + variant.name + "]: covers cube " + (covers[0] ? "A" : "") +
                   (covers[1] ? "B" : "") + "'s pixel\n";
      } catch (const std::exception& e) {
        result = std::string("failed: ") + e.what();
      }
      if (result.empty()) continue;
      ++leaking;
      leakingClasses.insert(cls->Name);
      failures += cls->Name + " [" + variant.name + "]: " + result + "\n";
    }
  }
  std::printf("%s", table.c_str());
  std::printf("%d classes drawn in %d cases, %d cases leaking (%zu classes)\n%s", drawn, cases, leaking,
              leakingClasses.size(), failures.c_str());
  EXPECT_EQ(failures, "");
  EXPECT_GT(drawn, 30);
}

}  // namespace
