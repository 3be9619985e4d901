// Engine file access: case-insensitive path resolution, file streams, and loading and saving of
// data-file objects.
#include "Source/Base/ApplicationFileIO.h"

#include "platform/FileSave.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `dir` whose name equals `name` without case, "" when none.
std::string FindEntryNoCase(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return {};
  std::string found;
  while (dirent* e = ::readdir(d)) {
    if (SameText(e->d_name, name)) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// "\" as separator; an existing path as it is; else each part matched without case.
std::string ResolvePath(const std::string& FileName) {
  std::string path = FileName;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || Exists(path)) return path;
  std::string resolved;
  std::size_t pos = 0;
  if (path[0] == '/') {
    resolved = "/";
    pos = 1;
  }
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == "." || part == "..") {
      if (!part.empty()) resolved += part + (next < path.size() ? "/" : "");
      continue;
    }
    std::string dir = resolved.empty() ? "." : resolved;
    std::string candidate = resolved + part;
    bool last = next >= path.size();
    if (!(last ? Exists(candidate) : IsDir(candidate))) {
      std::string match = FindEntryNoCase(dir, part);
      if (match.empty())  // a new file goes into the folder found; else as spelled
        return last ? resolved + part : path;
      candidate = resolved + match;
    }
    resolved = candidate + (last ? "" : "/");
  }
  return resolved;
}

// The bare file name as the caller spelled it.
std::string BareName(std::string FileName) {
  std::replace(FileName.begin(), FileName.end(), '\\', '/');
  return ExtractFileName(FileName);
}

}  // namespace

std::unique_ptr<TStream> CreateFileStream(const std::string& FileName, unsigned Mode) {
  const bool create = Mode == fmCreate || Mode == fmCreateLegacy;
  std::string path = ResolvePath(FileName);
  if (!create && !Exists(path)) throw Exception("File not found: \"" + FileName + "\"");
  return std::make_unique<TFileStream>(path, create ? fmCreate : Mode);
}

bool FileStreamExists(const std::string& FileName) { return Exists(ResolvePath(FileName)); }

bool ApplicationFileIOAvailable() { return false; }

void WriteFileStream(const std::string& FileName, const std::function<void(TStream*)>& Write) {
  SaveFile(ResolvePath(FileName), Write, FileName);
}

TDataFile* TDataFile::CreateOfSameClass(TPersistent* AOwner) const {
  return static_cast<TDataFile*>(ClassType()->Create(AOwner));
}

void TDataFile::LoadFromFile(const std::string& FileName) {
  std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyNone);
  resourceName_ = BareName(FileName);
  LoadFromStream(stream.get());
}

void TDataFile::SaveToFile(const std::string& FileName) {
  resourceName_ = BareName(FileName);
  WriteFileStream(FileName, [this](TStream* Stream) { SaveToStream(Stream); });
}

void TDataFile::SaveToStream(TStream* Stream) {
  RTL_ASSERT(false, "Export for " + ClassName() + " to " + (Stream ? Stream->ClassName() : std::string("nil")) +
                        " not available.");
}
