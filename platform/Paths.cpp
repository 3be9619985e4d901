// The program folder, "\" to "/" path conversion and case-insensitive file look-up.
#include "platform/Paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex& FolderMutex() {
  static std::mutex m;
  return m;
}
std::string& FolderOverride() {
  static std::string folder;
  return folder;
}

std::string ExecutableFolder() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "./";
    if (static_cast<std::size_t>(n) < buf.size()) {
      std::string exe(buf.data(), static_cast<std::size_t>(n));
      return ExtractFilePath(exe);
    }
    buf.resize(buf.size() * 2);
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The entry of folder whose name equals name without regard to case; the
// first in name order, so the choice does not depend on the directory order.
bool MatchInFolder(const std::string& folder, const std::string& name, std::string& found) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  std::vector<std::string> matches;
  while (dirent* e = readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry != "." && entry != ".." && SameText(entry, name)) matches.push_back(entry);
  }
  closedir(dir);
  if (matches.empty()) return false;
  found = *std::min_element(matches.begin(), matches.end());
  return true;
}

}  // namespace

std::string ProgramFolder() {
  std::lock_guard<std::mutex> lock(FolderMutex());
  std::string& folder = FolderOverride();
  if (folder.empty()) folder = ExecutableFolder();
  return folder;
}

void SetProgramFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(FolderMutex());
  FolderOverride() = folder.empty() ? std::string() : IncludeTrailingPathDelimiter(ToNativePath(folder));
}

std::string ToNativePath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

std::string FindFileCaseInsensitive(const std::string& path) {
  const std::string native = ToNativePath(path);
  if (native.empty() || Exists(native)) return native;
  std::string result = native[0] == '/' ? "/" : "";
  std::size_t pos = result.size();
  bool matching = true;
  while (pos < native.size()) {
    std::size_t end = native.find('/', pos);
    if (end == std::string::npos) end = native.size();
    const std::string part = native.substr(pos, end - pos);
    std::string candidate = result + part;
    if (matching && !Exists(candidate)) {
      std::string found;
      if (part != "." && part != ".." && MatchInFolder(result, part, found))
        candidate = result + found;
      else
        matching = false;
    }
    result = candidate;
    if (end < native.size()) result += '/';
    pos = end + 1;
  }
  return result;
}

bool FileExistsAnyCase(const std::string& path) {
  struct stat st;
  return stat(FindFileCaseInsensitive(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}
