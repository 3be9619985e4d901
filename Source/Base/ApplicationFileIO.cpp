// Engine file access: case-insensitive path resolution, file streams, and loading and saving of
// data-file objects.
#include "Source/Base/ApplicationFileIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {

// Links followed before a chain is taken for a circle (the system's own limit).
constexpr int kMaxLinks = 40;

// The file a save to `path` writes: the end of a chain of symbolic links, each relative target
// taken from its link's folder; `path` itself when it is no link. The end may not exist yet (a
// link to a file still to be made). A circle of links raises EFCreateError with FileName.
std::string LinkedFile(const std::string& path, const std::string& FileName) {
  std::string at = path;
  for (int i = 0; i <= kMaxLinks; ++i) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::vector<char> buf(std::size_t(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    while ((n = ::readlink(at.c_str(), buf.data(), buf.size())) == ssize_t(buf.size())) buf.resize(buf.size() * 2);
    if (n <= 0) return at;
    std::string target(buf.data(), std::size_t(n));
    if (target[0] == '/') {
      at = target;
    } else {
      const std::size_t slash = at.rfind('/');
      at = (slash == std::string::npos ? std::string() : at.substr(0, slash + 1)) + target;
    }
  }
  throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, SysErrorMessage(ELOOP)));
}

// The file beside the one saved, with the old file's owner (where the saver may give it) and
// mode from the start, so that what a private file holds is never open to others meanwhile.
std::unique_ptr<TFileStream> CreatePartial(const std::string& partial, const struct stat* old) {
  ::unlink(partial.c_str());  // one left by a save that was cut off (never written through)
  if (old) {
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw EFCreateError(Format("Cannot create file \"%s\". %s", partial, SysErrorMessage(errno)));
    ::close(fd);
  }
  auto stream = std::make_unique<TFileStream>(partial, fmCreate);
  if (old) {
    // Only a privileged saver may give a file away; anyone else's save becomes their own file.
    const bool owned = ::fchown(stream->Handle(), old->st_uid, old->st_gid) == 0;
    // A failure leaves 0600, never more open than the file was.
    (void)::fchmod(stream->Handle(), old->st_mode & (owned ? 07777 : 0777));
  }
  return stream;
}

}  // namespace

void WriteFileStream(const std::string& FileName, const std::function<void(TStream*)>& Write) {
  const std::string path = LinkedFile(ResolvePath(FileName), FileName);
  struct stat old;
  const bool hadOld = ::stat(path.c_str(), &old) == 0;
  auto inPlace = [&] {
    std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmCreate);
    Write(stream.get());
  };
  // A device or a pipe is written, never replaced.
  if (hadOld && !S_ISREG(old.st_mode)) return inPlace();
  const std::string partial = path + ".partial";
  std::unique_ptr<TFileStream> stream;
  try {
    stream = CreatePartial(partial, hadOld ? &old : nullptr);
  } catch (const EFCreateError&) {
    // No room for a file beside it (a folder without write access): write in place.
    std::remove(partial.c_str());
    return inPlace();
  }
  auto fail = [&](int err) {
    stream.reset();
    std::remove(partial.c_str());
    throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, SysErrorMessage(err)));
  };
  try {
    Write(stream.get());
  } catch (...) {
    stream.reset();
    std::remove(partial.c_str());
    throw;
  }
  // On the disk before it replaces the old file: a disk that fills up or fails late says so here.
  if (::fsync(stream->Handle()) != 0 && errno != EINVAL) fail(errno);
  stream.reset();
  if (std::rename(partial.c_str(), path.c_str()) != 0) fail(errno);
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
