// Two views of one scene in different states: a frame of each, timed as a pair, with the display
// lists compiled per pair (counted through the engine's entry-point table). The scene: 20 tile
// planes of 16 x 16 tiles, each tile one of four library materials, lit by one light; the second
// view has lighting off (BM_TwoViewers/0) or on like the first (BM_TwoViewers/1). Both views share
// the scene's lists. Needs a display (Xvfb is fine).
#include <benchmark/benchmark.h>

#include <QGuiApplication>

#include <memory>
#include <vector>

#include "Source/Further/GLTilePlane.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLEngineClasses.h"
#include "tests/Source/Further/TiledAreaArchive.h"

namespace {

int vCompiles = 0;
decltype(TGLEntryPoints::glNewList) vNewList = nullptr;
void APIENTRY CountingNewList(GLuint list, GLenum mode) {
  ++vCompiles;
  vNewList(list, mode);
}

struct TTwoViews {
  TGLSceneGraph scene{nullptr};
  TGLMaterialLibrary library{nullptr};
  TGLMemoryViewer first{nullptr}, second{nullptr};

  explicit TTwoViews(bool secondLit) {
    auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
    cam->Position()->SetXYZAsPoint(8, 8, 40);
    auto* target = scene.Objects()->AddNewChild<TGLDummyCube>();
    target->Position()->SetXYZAsPoint(8, 8, 0);
    cam->SetTargetObject(target);
    auto* light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->Position()->SetXYZAsPoint(8, 8, 20);
    const TVector4f colours[4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}};
    library.Materials()->Add()->SetName("none");  // index 0 is no tile
    for (const TVector4f& c : colours)
      library.Materials()->Add()->Material()->FrontProperties()->Diffuse()->SetColor(c);
    for (int p = 0; p < 20; ++p) {
      auto* plane = scene.Objects()->AddNewChild<TGLTilePlane>();
      plane->Position()->SetXYZAsPoint(0, 0, -float(p) * 0.1f);
      plane->SetMaterialLibrary(&library);
      std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
      for (int y = 0; y < 16; ++y) {
        std::vector<int32_t> cells;
        for (int x = 0; x < 16; ++x) cells.push_back(1 + (x + y + p) % 4);
        rows.push_back(MakeRow(0, cells));
      }
      TGLTiledArea area;
      LoadArea(area, 0, std::move(rows));
      plane->SetTiles(&area);
    }
    for (TGLMemoryViewer* v : {&first, &second}) {
      v->SetWidth(512);
      v->SetHeight(512);
      v->SetCamera(cam);
    }
    second.Buffer()->SetLighting(secondLit);
  }

  void Pair() {
    first.Render();
    second.Render();
  }
};

void BM_TwoViewers(benchmark::State& state) {
  TTwoViews views(state.range(0) != 0);
  for (int i = 0; i < 3; ++i) views.Pair();  // contexts made, lists compiled for both
  vNewList = GL.glNewList;
  GL.glNewList = CountingNewList;
  vCompiles = 0;
  int pairs = 0;
  for (auto _ : state) {
    views.Pair();
    ++pairs;
  }
  GL.glNewList = vNewList;
  state.counters["compiles_per_pair"] = pairs ? double(vCompiles) / pairs : 0;
}

BENCHMARK(BM_TwoViewers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  RegisterEngineClasses();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
