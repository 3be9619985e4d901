// Loads arbitrary bytes as a WAV file; refusals must be exceptions, never reads past the data.
#include "Source/Objects/GLSoundFileObjects.h"
#include "rtl/SysUtils.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TStringStream s(std::string(reinterpret_cast<const char*>(data), size));
  TGLWAVFile wav(nullptr);
  try {
    wav.LoadFromStream(&s);
  } catch (const Exception&) {
    return 0;
  }
  const int n = wav.SampleByteCount();
  if (n < 0 || n > wav.FileByteCount()) __builtin_trap();
  volatile std::uint8_t sum = 0;
  const std::uint8_t* p = wav.SampleData();
  for (int i = 0; i < n; ++i) sum = std::uint8_t(sum + p[i]);
  (void)wav.SampleCount();
  (void)wav.DurationSeconds();
  return 0;
}
