// What the OpenGL driver itself keeps on the heap, measured with plain GL calls (none of the
// engine's objects) so that a driver update can be judged on its own. Needs a display (Xvfb is
// fine). Each benchmark runs once and reports heap bytes (allocated blocks, from the allocator):
// BM_DisplayListsLeft: contexts made one after the other, each compiling N display lists of a
//   small pipe (matrix push, quad strips, pop), drawing and deleting them, then destroyed; the
//   heap still allocated afterwards, per list compiled. A driver that frees what a list took
//   leaves about 0; one that does not makes every list compiled while traffic runs a lasting
//   leak, scattered over the pages the traffic used.
// BM_TextureBindsInAFrame/N: a frame of N textured quads, each with its own label-size texture
//   (bind per quad), against the same quads all drawn with one texture; the heap taken by the
//   frame beyond the textures themselves, per quad, and what stays allocated once every texture
//   is deleted and a few empty frames are drawn.
#include <benchmark/benchmark.h>

#include <GL/gl.h>

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QWindow>

#include <malloc.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

double HeapBytes() {
  const struct mallinfo2 m = mallinfo2();
  return double(m.uordblks + m.hblkhd);
}

// A compatibility context current on the window while it lives.
class TContext {
 public:
  explicit TContext(QWindow& surface) {
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setDepthBufferSize(24);
    FContext.setFormat(format);
    FReady = FContext.create() && FContext.makeCurrent(&surface);
  }
  ~TContext() {
    if (FReady) FContext.doneCurrent();
  }
  TContext(const TContext&) = delete;
  TContext& operator=(const TContext&) = delete;
  bool Ready() const { return FReady; }

 private:
  QOpenGLContext FContext;
  bool FReady = false;
};

QWindow* vSurface = nullptr;

void PipeList(int i) {
  glPushMatrix();
  glRotatef(-90, 1, 0, 0);
  glTranslatef(float(i % 50) / 25.0f - 1.0f, float(i / 50 % 50) / 25.0f - 1.0f, 0);
  for (int side = 0; side < 4; ++side) {
    glBegin(GL_QUAD_STRIP);
    for (int k = 0; k < 10; ++k) {
      glNormal3f(0, 0, 1);
      glTexCoord2f(float(k & 1), float(k) / 10.0f);
      glVertex3f(float(k & 1) * 0.03f, float(k) * 0.003f, float(side) * 0.01f);
    }
    glEnd();
  }
  glPopMatrix();
}

void BM_DisplayListsLeft(benchmark::State& state) {
  constexpr int kLists = 3000, kRounds = 4;
  double before = 0, after = 0;
  for (auto _ : state) {
    {
      TContext warm(*vSurface);  // the driver's one-time set-up is not counted
      if (!warm.Ready()) return state.SkipWithError("no OpenGL context");
    }
    malloc_trim(0);
    before = HeapBytes();
    for (int round = 0; round < kRounds; ++round) {
      TContext context(*vSurface);
      if (!context.Ready()) return state.SkipWithError("no OpenGL context");
      const GLuint first = glGenLists(kLists);
      for (int i = 0; i < kLists; ++i) {
        glNewList(first + GLuint(i), GL_COMPILE);
        PipeList(i);
        glEndList();
      }
      for (int i = 0; i < kLists; ++i) glCallList(first + GLuint(i));
      glFinish();
      glDeleteLists(first, kLists);
      glFinish();
    }
    after = HeapBytes();
  }
  state.counters["heap_bytes_left_per_list"] = (after - before) / (double(kLists) * kRounds);
  state.counters["heap_MB_left"] = (after - before) / (1 << 20);
}

void BM_TextureBindsInAFrame(benchmark::State& state) {
  const int quads = int(state.range(0));
  const bool bindEach = state.range(1) != 0;
  constexpr int kWidth = 128, kHeight = 64;
  double uploaded = 0, drawn = 0, left = 0, start = 0, textureBytes = 0;
  for (auto _ : state) {
    TContext context(*vSurface);
    if (!context.Ready()) return state.SkipWithError("no OpenGL context");
    start = HeapBytes();
    std::vector<GLuint> names(size_t(quads), 0);
    std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * 4);
    glGenTextures(quads, names.data());
    textureBytes = 0;
    for (int i = 0; i < quads; ++i) {
      std::fill(pixels.begin(), pixels.end(), uint8_t(i * 37));
      glBindTexture(GL_TEXTURE_2D, names[size_t(i)]);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
      for (int level = 0, w = kWidth, h = kHeight;; ++level) {
        glTexImage2D(GL_TEXTURE_2D, level, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        textureBytes += double(w) * h * 4;
        if (w == 1 && h == 1) break;
        w = w > 1 ? w / 2 : 1, h = h > 1 ? h / 2 : 1;
      }
    }
    uploaded = HeapBytes();
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    for (int i = 0; i < quads; ++i) {
      glBindTexture(GL_TEXTURE_2D, names[size_t(bindEach ? i : 0)]);
      const float x = float(i % 80) / 40.0f - 1.0f, y = float(i / 80 % 80) / 40.0f - 1.0f;
      glBegin(GL_QUADS);
      const float corners[4][4] = {
          {0, 0, x, y}, {1, 0, x + 0.05f, y}, {1, 1, x + 0.05f, y + 0.03f}, {0, 1, x, y + 0.03f}};
      for (const auto& c : corners) {
        glTexCoord2f(c[0], c[1]);
        glVertex2f(c[2], c[3]);
      }
      glEnd();
    }
    glFinish();
    drawn = HeapBytes();
    glDeleteTextures(quads, names.data());
    for (int frame = 0; frame < 3; ++frame) {
      glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
      glFinish();
    }
    left = HeapBytes();
  }
  state.counters["texture_MB"] = textureBytes / (1 << 20);
  state.counters["storage_MB_over_texture"] = (uploaded - start - textureBytes) / (1 << 20);
  state.counters["frame_bytes_per_quad"] = (drawn - uploaded) / quads;
  state.counters["MB_left_after_delete"] = (left - start) / (1 << 20);
}

BENCHMARK(BM_DisplayListsLeft)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextureBindsInAFrame)->Args({6000, 1})->Args({6000, 0})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  // A window of the view's size: the driver bins a frame by screen tiles.
  QWindow surface;
  QSurfaceFormat format;
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setDepthBufferSize(24);
  surface.setSurfaceType(QSurface::OpenGLSurface);
  surface.setFormat(format);
  surface.resize(1280, 1000);
  surface.show();
  vSurface = &surface;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
