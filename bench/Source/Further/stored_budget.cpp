// Stored objects whose counts multiply into many vertices, read from a stored stream and drawn
// in a real off-screen context (Xvfb is fine): whether reading refuses them, the first frame's
// time, and what the process holds before and after it. Each case runs once; run one case per
// process (--benchmark_filter) for figures that do not carry over from the case before.
//
// BM_StoredObject/<case>: 0 a sky dome of 10 bands of 1,024 x 1,024; 1 the same with 100 bands;
//   2 a sphere of 1,024 x 1,024; 3 a torus of 1,024 x 1,024; 4 the 10-band dome twinkling (every
//   frame rebuilt); 5 a sphere of 700 x 700 and 6 a twinkling dome of 3 bands of 512 x 256.
// BM_StoredTerrain/<case>: height fields of N x N samples (the default ripple, colours from the
//   height) for N = 0 1,024, 1 1,448 (the largest square one a stored scene may hold), 2 1,449 and
//   3 2,048 (both refused); spheres (slices x stacks) of 4 1,024 x 512 and 5 1,024 x 1,024 (the
//   most subdivisions a stored sphere may have).
// Counters: stored_bytes, vertices (what a terrain case draws), refused (1 when reading raised
//   EReadError), read_s, first_frame_s, next_frame_s, rss_MB_before (after reading), rss_MB_after
//   (after the first frame), heap_MB_added (allocated blocks the first frame added).
#include <benchmark/benchmark.h>

#include <QGuiApplication>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include "Source/Further/GLGraph.h"
#include "Source/Further/GLSkydome.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "rtl/Streaming.h"

namespace {

constexpr int kCounts = 1024;

double RssMB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double HeapMB() {
  const struct mallinfo2 m = mallinfo2();
  return double(m.uordblks + m.hblkhd) / (1 << 20);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The object of a case, made in code (where any count is allowed).
std::unique_ptr<TGLBaseSceneObject> Make(int which) {
  switch (which) {
    case 0:
    case 1:
    case 4:
    case 6: {
      auto dome = std::make_unique<TGLSkyDome>(nullptr);
      dome->Bands()->Clear();
      const int bands = which == 1 ? 100 : which == 6 ? 3 : 10;
      for (int i = 0; i < bands; ++i) {
        TSkyDomeBand* b = dome->Bands()->Add();
        b->SetStartAngle(-90 + 180.0f * float(i) / float(bands));
        b->SetStopAngle(-90 + 180.0f * float(i + 1) / float(bands));
        b->SetSlices(which == 6 ? 512 : kCounts);
        b->SetStacks(which == 6 ? 256 : kCounts);
      }
      for (int i = 0; i < 100; ++i) {
        TSkyDomeStar* s = dome->Stars()->Add();
        s->SetRA(float(i) * 3.6f);
        s->SetDec(float(i % 60));
        s->SetMagnitude(float(i % 6));
        s->SetColor(0xFFFFFF);
      }
      if (which >= 4) dome->SetOptions(TSkyDomeOptions{sdoTwinkle});
      return dome;
    }
    case 2:
    case 5: {
      auto sphere = std::make_unique<TGLSphere>(nullptr);
      sphere->SetSlices(which == 5 ? 700 : kCounts);
      sphere->SetStacks(which == 5 ? 700 : kCounts);
      return sphere;
    }
    default: {
      auto torus = std::make_unique<TGLTorus>(nullptr);
      torus->SetRings(kCounts);
      torus->SetSides(kCounts);
      return torus;
    }
  }
}

// The object of a terrain case, made in code, and what it draws.
std::unique_ptr<TGLBaseSceneObject> MakeTerrain(int which, double& vertices) {
  if (which <= 3) {
    const int n = which == 0 ? 1024 : which == 1 ? 1448 : which == 2 ? 1449 : 2048;
    auto field = std::make_unique<TGLHeightField>(nullptr);
    for (TGLSamplingScale* s : {field->XSamplingScale(), field->YSamplingScale()}) {
      s->SetMin(0);
      s->SetMax(float(n - 1));
      s->SetStep(1);
    }
    field->Scale()->SetXYZAsVector(2.0f / float(n), 2.0f / float(n), 0.2f);
    field->SetColorMode(hfcmAmbientAndDiffuse);
    vertices = field->VertexCount();
    return field;
  }
  auto sphere = std::make_unique<TGLSphere>(nullptr);
  sphere->SetSlices(1024);
  sphere->SetStacks(which == 4 ? 512 : 1024);
  vertices = sphere->VertexCount();
  return sphere;
}

// Writes the object Make gives, reads it back and draws it, with the camera at (0, CamY, CamZ).
void MeasureStored(benchmark::State& state, const std::function<std::unique_ptr<TGLBaseSceneObject>()>& Make,
                   float CamY, float CamZ) {
  RegisterGLGraphClasses();
  RegisterGLSkydomeClasses();
  RegisterGLObjectsClasses();
  RegisterGLGeomObjectsClasses();
  const int which = int(state.range(0));
  double bytes = 0, refused = 0, read = 0, first = 0, next = 0, rssBefore = 0, rssAfter = 0, heapAdded = 0;
  for (auto _ : state) {
    TMemoryStream stream;
    {
      std::unique_ptr<TGLBaseSceneObject> source = Make();
      TWriter(&stream).WriteRootComponent(source.get());
    }
    bytes = double(stream.Size());
    stream.SetPosition(0);

    TGLSceneGraph scene(nullptr);
    TGLMemoryViewer viewer(nullptr);
    auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
    cam->Position()->SetXYZAsPoint(0, CamY, CamZ);
    viewer.SetWidth(640);
    viewer.SetHeight(480);
    viewer.SetCamera(cam);
    viewer.Render();  // the context and its one-time set-up are not counted
    malloc_trim(0);

    const auto t0 = std::chrono::steady_clock::now();
    TComponent* obj = nullptr;
    try {
      obj = TReader(&stream).ReadRootComponent(nullptr);
    } catch (const EReadError& e) {
      refused = 1;
      std::fprintf(stderr, "case %d refused: %s\n", which, e.Message().c_str());
    }
    read = Seconds(t0);
    rssBefore = RssMB();
    const double heapBefore = HeapMB();
    if (obj) scene.Objects()->AddChild(static_cast<TGLBaseSceneObject*>(obj));
    const auto t1 = std::chrono::steady_clock::now();
    viewer.Render();
    first = Seconds(t1);
    rssAfter = RssMB();
    heapAdded = HeapMB() - heapBefore;
    const auto t2 = std::chrono::steady_clock::now();
    viewer.Render();
    next = Seconds(t2);
  }
  state.counters["stored_bytes"] = bytes;
  state.counters["refused"] = refused;
  state.counters["read_s"] = read;
  state.counters["first_frame_s"] = first;
  state.counters["next_frame_s"] = next;
  state.counters["rss_MB_before"] = rssBefore;
  state.counters["rss_MB_after"] = rssAfter;
  state.counters["heap_MB_added"] = heapAdded;
}

void BM_StoredObject(benchmark::State& state) {
  MeasureStored(
      state, [&] { return Make(int(state.range(0))); }, 0, 5);
}
BENCHMARK(BM_StoredObject)->DenseRange(0, 6)->Iterations(1)->Unit(benchmark::kMillisecond);
void BM_StoredTerrain(benchmark::State& state) {
  double vertices = 0;
  MeasureStored(
      state, [&] { return MakeTerrain(int(state.range(0)), vertices); }, 2, 3);
  state.counters["vertices"] = vertices;
}
BENCHMARK(BM_StoredTerrain)->DenseRange(0, 5)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  RegisterGLQtContext();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
