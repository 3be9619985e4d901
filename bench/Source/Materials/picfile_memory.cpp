// Memory of picture-file textures: 40 textures, each of its own 2048 x 2048 24-bit BMP file
// (12 MB), shown as an upload shows them (read, decoded, uploaded, pixels let go). The resident
// size of the process after they are shown, against before, is reported as "held_MB", and again
// once the heap has given back what it keeps for reuse, as "held_after_trim_MB".
#include "Source/Materials/GLMaterial.h"
#include "platform/Graphics.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

namespace {

constexpr int kTextures = 40;
constexpr int kSide = 2048;

// Resident set size in MB, from /proc/self/statm.
double ResidentMB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

void BM_PictureFilesShown(benchmark::State& state) {
  RegisterGLTextureClasses();
  char folder[] = "/tmp/bench-picfile-XXXXXX";
  if (!::mkdtemp(folder)) return state.SkipWithError("no temp folder");
  std::vector<std::string> files;
  for (int i = 0; i < kTextures; ++i) {
    TBitmap picture(kSide, kSide, pf24bit);
    picture.Canvas().Brush().SetColor(TColor(0x102030 + i));
    picture.Canvas().FillRect(Rect(0, 0, kSide, kSide));
    files.push_back(std::string(folder) + "/p" + std::to_string(i) + ".bmp");
    picture.SaveToFile(files.back());
  }
  double held = 0, trimmed = 0;
  for (auto _ : state) {
    TGLMaterialLibrary lib(nullptr);
    const double before = ResidentMB();
    for (const std::string& file : files) {
      TGLTexture* t = lib.Materials()->Add()->Material()->Texture();
      t->SetImageClassName("TGLPicFileImage");
      auto* image = static_cast<TGLPicFileImage*>(t->Image());
      image->SetPictureFileName(file);
      t->SetDisabled(false);
      image->GetBitmap32(GL_TEXTURE_2D);
      image->ReleaseBitmap32();
      image->ReleaseSourceAfterUpload();
    }
    held = ResidentMB() - before;
    ::malloc_trim(0);  // what the heap keeps for reuse given back: what the textures hold remains
    trimmed = ResidentMB() - before;
  }
  state.counters["held_MB"] = held;
  state.counters["held_after_trim_MB"] = trimmed;
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PictureFilesShown)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // pictures decode through Qt
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
