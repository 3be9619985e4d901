// Material-library streams of many records with colliding names, from a compact input: every
// byte after the first adds 1 to 32 records named from a small pool of names that are each
// other's bases and suffixes ("m", "m1", "m12", "LibMaterial", "LibMaterial1", ...), so that a
// few hundred bytes make thousands of records (at most 8,000, which a load that scans the whole
// list for every candidate name takes minutes over). A load whose cost grows faster than the
// record count shows as a timeout. The first byte picks merge mode. Loaded names must be
// distinct, and a saved library must read back with the same names.
#include "Source/Base/PersistentClasses.h"
#include "Source/Materials/GLMaterial.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

namespace {

constexpr int kMaxRecords = 8000;

const char* const kNames[8] = {"m", "m1", "m12", "m2", "LibMaterial", "LibMaterial1", "", "1"};

std::string Records(const uint8_t* data, size_t size) {
  int count = 0;
  for (size_t i = 0; i < size && count < kMaxRecords; ++i) count += 1 + (data[i] >> 3);
  if (count > kMaxRecords) count = kMaxRecords;
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(0);  // names and front colours only
  w.WriteInteger(count);
  const float colours[13] = {};
  int written = 0;
  for (size_t i = 0; i < size && written < count; ++i)
    for (int k = 0; k <= data[i] >> 3 && written < count; ++k, ++written) {
      w.WriteString(kNames[data[i] & 7]);
      w.WriteBoolean(false);
      w.Write(colours, sizeof colours);
    }
  return s.DataString();
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "material library names: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TGLMaterialLibrary lib(nullptr);
  lib.Materials()->Add()->SetName("m1");
  lib.SetMergeOnLoad(data[0] % 2 == 1);
  TStringStream in(Records(data + 1, size - 1));
  lib.LoadFromStream(&in);
  TGLLibMaterials* mats = lib.Materials();
  std::unordered_set<std::string> names;
  for (int i = 0; i < mats->Count(); ++i) names.insert(mats->Items(i)->Name());
  Check(int(names.size()) == mats->Count(), "two materials share a name");

  TStringStream out(std::string{});
  lib.SaveToStream(&out);
  out.SetPosition(0);
  TGLMaterialLibrary again(nullptr);
  again.LoadFromStream(&out);
  Check(again.Materials()->Count() == mats->Count(), "count changed on reading back");
  for (int i = 0; i < mats->Count(); ++i)
    Check(again.Materials()->Items(i)->Name() == mats->Items(i)->Name(), "a name changed on reading back");
  return 0;
}
