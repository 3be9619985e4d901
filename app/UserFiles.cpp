// The user's folder of the program's files: where it is, and its seeding from the program's folder.
#include "app/UserFiles.h"

#include "app/Unit_Globals.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {
// The files the program reads from its folder and a user may have changed.
const char* const ProgramFiles[] = {"Tamrivel.ini", "SnifferPCsInfo.ini", "IPToComputerName.ini",
                                    "Senders.txt",  "Receivers.txt",      "CreateCubesLayout.txt"};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// The entry of `folder` named `name` in any case, or `folder`/`name` when none is.
std::string AnyCase(const std::string& folder, const std::string& name) {
  return FindFileCaseInsensitive(folder + "/" + name);
}

bool Present(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

void CopyOne(const std::string& source, const std::string& target, const std::string& name,
             std::vector<std::string>& copied, std::vector<std::string>& failed) {
  std::error_code ec;
  if (!fs::is_regular_file(source, ec) || Present(target)) return;
  if (fs::copy_file(source, target, fs::copy_options::none, ec))
    copied.push_back(name);
  else
    failed.push_back(name + ": " + ec.message());
}
}  // namespace

std::string UserFilesFolder() {
  if (std::string named = Env("TAMRIVEL_HOME"); !named.empty()) return named;
  if (std::string data = Env("XDG_DATA_HOME"); !data.empty() && data[0] == '/') return data + "/tamrivel";
  if (std::string home = Env("HOME"); !home.empty()) return home + "/.local/share/tamrivel";
  return std::string();
}

std::vector<std::string> CopyMissingFiles(const std::string& from, const std::string& to,
                                          std::vector<std::string>& failed) {
  std::vector<std::string> copied;
  for (const char* name : ProgramFiles) CopyOne(AnyCase(from, name), AnyCase(to, name), name, copied, failed);
  std::error_code ec;
  const std::string images = AnyCase(from, "Images");
  if (!fs::is_directory(images, ec)) return copied;
  std::string target = AnyCase(to, "Images");
  if (!fs::is_directory(target, ec)) {
    target = to + "/Images";
    if (!fs::create_directories(target, ec) && ec) {
      failed.push_back("Images: " + ec.message());
      return copied;
    }
  }
  std::vector<fs::path> pictures;
  for (const fs::directory_entry& e : fs::directory_iterator(images, ec)) pictures.push_back(e.path());
  for (const fs::path& p : pictures) {
    const std::string name = p.filename().string();
    CopyOne(p.string(), AnyCase(target, name), "Images/" + name, copied, failed);
  }
  return copied;
}

std::string BuildFolderOf(const std::string& folder) {
  std::error_code ec;
  fs::path at = fs::weakly_canonical(folder, ec);
  if (ec) return std::string();
  for (;; at = at.parent_path()) {
    if (fs::exists(at / "CMakeCache.txt", ec)) return at.string();
    if (at == at.parent_path()) return std::string();
  }
}

namespace {
// True when `inner` is `outer` or lies inside it (links resolved).
bool Inside(const std::string& inner, const std::string& outer) {
  std::error_code ec;
  const fs::path in = fs::weakly_canonical(inner, ec), out = fs::weakly_canonical(outer, ec);
  const auto [o, i] = std::mismatch(out.begin(), out.end(), in.begin(), in.end());
  return o == out.end() || (o->empty() && std::next(o) == out.end());
}

std::string KeptInTheProgramsFolder(const std::string& programFolder, const std::string& why) {
  const std::string build = BuildFolderOf(programFolder);
  return "Your files (settings, saved places, lists, logs) are kept in the program's folder " + programFolder + ": " +
         why + "." + (build.empty() ? "" : " Deleting the build folder " + build + " deletes them.") +
         " Set TAMRIVEL_HOME to a folder of yours that can be written.";
}
}  // namespace

std::vector<std::string> UseUserFilesFolder(std::string& notice) {
  notice.clear();
  const std::string programFolder = ProgramDir();
  std::string folder = UserFilesFolder();
  std::error_code ec;
  if (!folder.empty()) folder = fs::absolute(folder, ec).lexically_normal().string();  // as the event log shows it
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) {
    notice = KeptInTheProgramsFolder(programFolder, "HOME is not set, so no folder of yours is known");
    return {"User files: no folder (HOME is not set); the program's folder " + programFolder + " holds them", notice};
  }
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) {
    const std::string why = "cannot make " + folder + (ec ? " (" + ec.message() + ")" : " (a file is in the way)");
    notice = KeptInTheProgramsFolder(programFolder, why);
    return {"User files: " + why + "; the program's folder " + programFolder + " holds them", notice};
  }
  std::vector<std::string> lines{"User files in " + folder};
  if (const std::string build = BuildFolderOf(programFolder); !build.empty() && Inside(folder, build)) {
    notice = "Your files (settings, saved places, lists, logs) are kept in " + folder + ", inside the build folder " +
             build + ": deleting the build deletes them. Set TAMRIVEL_HOME to a folder outside it.";
    lines.push_back(notice);
  }
  std::vector<std::string> failed;
  const std::vector<std::string> copied = fs::equivalent(folder, programFolder, ec)
                                              ? std::vector<std::string>()
                                              : CopyMissingFiles(programFolder, folder, failed);
  if (!copied.empty()) {
    std::string names;
    for (const std::string& n : copied) names += (names.empty() ? "" : ", ") + n;
    lines.push_back("User files: added from " + programFolder + ": " + names);
  }
  for (const std::string& f : failed) lines.push_back("User files: not added: " + f);
  SetProgramFolder(folder);
  return lines;
}
