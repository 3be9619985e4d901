// Ini parser and writer on arbitrary file contents: reading never fails, and a
// write changes the one key it names while every other section and key reads
// back as before.
#include "platform/IniFiles.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string ScratchFile() {
  const char* shm = "/dev/shm";
  const std::string dir = access(shm, W_OK) == 0 ? shm : "/tmp";
  return dir + "/tamrivel-fuzz-ini-" + std::to_string(getpid()) + ".ini";
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "ini invariant broken: %s\n", what);
    std::abort();
  }
}

std::vector<std::string> WithoutKey(const std::vector<std::string>& values, const std::string& key) {
  std::vector<std::string> out;
  for (const std::string& v : values)
    if (!SameText(v.substr(0, v.find('=')), key)) out.push_back(v);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = ScratchFile();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string section = "FuzzSection", key = "FuzzKey", value = "fuzz value";
  std::vector<std::string> sections;
  std::vector<std::vector<std::string>> before;
  {
    TIniFile ini(file);
    sections = ini.ReadSections();
    for (const std::string& s : sections) {
      before.push_back(ini.ReadSectionValues(s));
      for (const std::string& k : ini.ReadSection(s)) {
        Check(ini.ValueExists(s, k), "listed key exists");
        ini.ReadInteger(s, k, 0);
        ini.ReadFloat(s, k, 0);
      }
    }
    ini.WriteString(section, key, value);
  }
  TIniFile ini(file);
  Check(ini.ReadString(section, key, "") == value, "written value reads back");
  const std::vector<std::string> after = ini.ReadSections();
  Check(after.size() >= sections.size(), "no section lost");
  for (std::size_t i = 0; i < sections.size(); ++i) {
    Check(SameText(after[i], sections[i]), "section order kept");
    const std::vector<std::string> now = ini.ReadSectionValues(sections[i]);
    if (SameText(sections[i], section))
      Check(WithoutKey(now, key) == WithoutKey(before[i], key), "other keys of the section kept");
    else
      Check(now == before[i], "other sections kept");
  }
  std::remove(file.c_str());
  return 0;
}
