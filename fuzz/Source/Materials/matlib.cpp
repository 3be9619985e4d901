// Material-library streams and the file forms of texture images from arbitrary bytes. The
// first byte picks the reader; refusals must be exceptions and a refused library stream must
// leave the library as it was.
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "rtl/SysUtils.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// A scratch file for the readers that take a file name; removed when it goes out of scope, so
// no run leaves one behind.
class TScratchFile {
 public:
  TScratchFile(const uint8_t* data, size_t size) {
    char path[] = "/tmp/fuzz_matlib_XXXXXX.bmp";  // picture loaders go by extension
    const int fd = mkstemps(path, 4);
    if (fd < 0) std::abort();
    name_ = path;
    for (size_t done = 0; done < size;) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) std::abort();
      done += size_t(n);
    }
    close(fd);
  }
  ~TScratchFile() { unlink(name_.c_str()); }
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;
  const std::string& Name() const noexcept { return name_; }

 private:
  std::string name_;
};

void LoadLibrary(const uint8_t* data, size_t size) {
  TGLMaterialLibrary lib(nullptr);
  lib.Materials()->Add()->SetName("sentinel");
  lib.SetMergeOnLoad(size % 2 == 1);
  TStringStream s(std::string(reinterpret_cast<const char*>(data), size));
  try {
    lib.LoadFromStream(&s);
  } catch (const Exception&) {
    if (lib.Materials()->Count() != 1 || lib.Materials()->Items(0)->Name() != "sentinel") __builtin_trap();
    return;
  }
  // What was read can be written and read again.
  TStringStream out(std::string{});
  lib.SaveToStream(&out);
  out.SetPosition(0);
  TGLMaterialLibrary again(nullptr);
  again.LoadFromStream(&out);
  if (again.Materials()->Count() != lib.Materials()->Count()) __builtin_trap();
}

void LoadImage(uint8_t kind, const uint8_t* data, size_t size) {
  const TScratchFile file(data, size);
  TGLTexture texture(nullptr);
  static const char* const classes[] = {"TGLBlankImage", "TGLFloatDataImage", "TGLPicFileImage", "TGLCubeMapImage",
                                        "TGLPersistentImage"};
  texture.SetImageClassName(classes[kind % 5]);
  try {
    texture.Image()->LoadFromFile(file.Name());
    TGLBitmap32* bmp = texture.Image()->GetBitmap32(GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB);
    if (bmp && bmp->DataSize() > 0) {
      volatile uint8_t sum = 0;
      for (int i = 0; i < bmp->DataSize(); i += 97) sum = uint8_t(sum + bmp->Data()[i]);
    }
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = [] {
    RegisterGLTextureClasses();
    return true;
  }();
  (void)registered;
  if (size == 0) return 0;
  if (data[0] < 128)
    LoadLibrary(data + 1, size - 1);
  else
    LoadImage(data[0], data + 1, size - 1);
  return 0;
}
