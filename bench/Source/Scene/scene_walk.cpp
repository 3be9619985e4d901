// The render walk over a flat scene of N translucent and opaque objects, sorted
// blended-last (the traffic view's mode), with every GL call going to the
// call recorder instead of a driver: what is measured is the walk itself
// (culling, matrices, sorting, state cache), not drawing.
#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Base/GLRecorder.h"

#include <benchmark/benchmark.h>

namespace {

class TWalkObject : public TGLImmaterialSceneObject {
  RTL_CLASS(TWalkObject, TGLImmaterialSceneObject)
 public:
  explicit TWalkObject(TComponent* AOwner) : TGLImmaterialSceneObject(AOwner) { objectStyle_ |= osDirectDraw; }
  bool IsBlended() override { return blended; }
  bool blended = false;
};

void BM_RenderWalk(benchmark::State& state) {
  const int n = int(state.range(0));
  TGLSceneGraph scene(nullptr);
  TGLSceneBuffer buffer(nullptr);
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  cam->Position()->SetXYZAsPoint(0, 0, 50);
  buffer.SetCamera(cam);
  for (int i = 0; i < n; ++i) {
    auto* o = scene.Objects()->AddNewChild<TWalkObject>();
    o->blended = i % 2 == 0;
    o->Position()->SetXYZAsPoint(float(i % 32), float(i / 32), -float(i % 7));
  }
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  for (auto _ : state) {
    rec.Clear();
    scene.RenderScene(&buffer, 800, 600, dsRendering, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * n);
  buffer.SetCamera(nullptr);
}
BENCHMARK(BM_RenderWalk)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
