// Texture upload of a 1024x1024 RGBA bitmap through the state cache and the
// bitmap's upload, against a plain glTexImage2D of the same pixels, in the
// same run and the same context. Needs a display (Xvfb is fine).
#include "Source/Base/OpenGL1x.h"
#include "Source/Materials/GLGraphics.h"
#include "Source/Scene/GLState.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QImage>
#include <QOpenGLContext>
#include <QPainter>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int kSide = 1024;

struct Fixture {
  QOffscreenSurface surface;
  QOpenGLContext context;
  TGLBitmap32 bitmap;
  GLuint names[2] = {0, 0};
  bool ready = false;

  Fixture() {
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    surface.setFormat(format);
    surface.create();
    context.setFormat(format);
    if (!context.create() || !context.makeCurrent(&surface)) return;
    bitmap.SetWidth(kSide);
    bitmap.SetHeight(kSide);
    uint8_t* p = bitmap.Data();
    for (int i = 0; i < bitmap.DataSize(); ++i) p[i] = uint8_t(i * 7 + (i >> 12));
    glGenTextures(2, names);
    ready = true;
  }
};

Fixture* vFixture = nullptr;

void BM_DirectTexImage2D(benchmark::State& state) {
  if (!vFixture->ready) return state.SkipWithError("no OpenGL context");
  glBindTexture(GL_TEXTURE_2D, vFixture->names[0]);
  for (auto _ : state) {
    glBindTexture(GL_TEXTURE_2D, vFixture->names[0]);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kSide, kSide, 0, GL_RGBA, GL_UNSIGNED_BYTE, vFixture->bitmap.Data());
    glFinish();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSide * kSide * 4);
}

void BM_StateCacheUpload(benchmark::State& state) {
  if (!vFixture->ready) return state.SkipWithError("no OpenGL context");
  TGLStateCache cache;
  cache.ResetBoundTextures();
  for (auto _ : state) {
    cache.SetBoundTexture(0, GL_TEXTURE_2D, vFixture->names[1]);
    vFixture->bitmap.UploadAsTexture(GL_TEXTURE_2D, miLinear, GL_RGBA8);
    GL.glFinish();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSide * kSide * 4);
}

// A pipe label's picture (two port numbers on a flat colour), enlarged to powers of two and
// mipmapped as a label texture is on every change of its ports.
void BM_LabelUpload(benchmark::State& state) {
  if (!vFixture->ready) return state.SkipWithError("no OpenGL context");
  QImage image(91, 73, QImage::Format_RGB32);
  image.fill(QColor(12, 12, 180));
  {
    QPainter painter(&image);
    QFont font("Tahoma");
    font.setPointSize(21);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(4, 30, "54321");
    painter.drawText(4, 66, "12345");
  }
  const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
  TGLBitmap32 label;
  label.SetWidth(rgba.width());
  label.SetHeight(rgba.height());
  for (int y = 0; y < label.Height(); ++y)
    std::memcpy(label.Data() + size_t(y) * size_t(label.Width()) * 4, rgba.constScanLine(y), size_t(rgba.width()) * 4);
  TGLStateCache cache;
  cache.ResetBoundTextures();
  for (auto _ : state) {
    cache.SetBoundTexture(0, GL_TEXTURE_2D, vFixture->names[1]);
    label.UploadAsTexture(GL_TEXTURE_2D, miLinearMipmapLinear, GL_RGBA8);
    GL.glFinish();
  }
}

BENCHMARK(BM_LabelUpload)->Unit(benchmark::kMicrosecond)->MinTime(0.5);

// Interleaved repetitions keep drift in the machine's load from favouring one side.
BENCHMARK(BM_DirectTexImage2D)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_StateCacheUpload)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_DirectTexImage2D)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_StateCacheUpload)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  auto fixture = std::make_unique<Fixture>();
  vFixture = fixture.get();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (fixture->ready) glDeleteTextures(2, fixture->names);
  fixture->context.doneCurrent();
  return 0;
}
