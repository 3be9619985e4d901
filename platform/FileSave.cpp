// Saving whole files: through links, beside the target and renamed over it, in place only with
// the room reserved first.
#include "platform/FileSave.h"

#include "rtl/SysUtils.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

// Links followed before a chain is taken for a circle (the system's own limit).
constexpr int kMaxLinks = 40;

[[noreturn]] void CannotCreate(const std::string& shown, const std::string& reason) {
  throw EFCreateError(Format("Cannot create file \"%s\". %s", shown, reason));
}

[[noreturn]] void CannotWrite(const std::string& shown, const std::string& reason) {
  throw EWriteError(Format("Cannot write file \"%s\". %s", shown, reason));
}

// The file a save to `path` writes: the end of a chain of symbolic links, each relative target
// taken from its link's folder; `path` itself when it is no link. The end may not exist yet.
std::string LinkedFile(const std::string& path, const std::string& shown) {
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
  CannotCreate(shown, SysErrorMessage(ELOOP));
}

// What a name that is no file and no folder is, for the refusal.
const char* Kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "It is a pipe, not a file: what is saved there may never be read";
  if (S_ISSOCK(mode)) return "It is a socket, not a file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "It is a device, not a file";
  return "It is not a file";
}

void CheckIsFile(const struct stat& st, const std::string& shown) {
  if (S_ISDIR(st.st_mode)) CannotCreate(shown, SysErrorMessage(EISDIR));
  if (!S_ISREG(st.st_mode)) CannotCreate(shown, Kind(st.st_mode));
}

// The folder of `path` and its name in it.
std::pair<std::string, std::string> FolderAndName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

constexpr std::string_view kPartial = ".partial";

// A name beside `path` that no other save uses, in this process or another:
// "<name>.partial<pid>-<count>".
std::string PartialName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + std::string(kPartial) + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// The process whose save made the file `name` ("<file>.partial<pid>-<count>"; any file when
// `file` is empty), 0 when the name is not of that form.
pid_t PartialOwner(std::string_view name, std::string_view file) {
  std::size_t at = file.empty() ? name.rfind(kPartial) : file.size();
  if (at == std::string_view::npos || at == 0 || name.size() <= at + kPartial.size() ||
      name.substr(0, file.size()) != file || name.substr(at, kPartial.size()) != kPartial)
    return 0;
  name.remove_prefix(at + kPartial.size());
  long pid = 0;
  unsigned long count = 0;
  const char* end = name.data() + name.size();
  auto [afterPid, e1] = std::from_chars(name.data(), end, pid);
  if (e1 != std::errc() || afterPid == end || *afterPid != '-' || pid <= 0 || pid > INT_MAX) return 0;
  auto [afterCount, e2] = std::from_chars(afterPid + 1, end, count);
  return e2 == std::errc() && afterCount == end ? pid_t(pid) : 0;
}

// Whether this process has looked through `folder` for files left by killed saves (and notes
// that it has now).
bool FolderSeen(const std::string& folder) {
  static std::mutex lock;
  static std::unordered_set<std::string> seen;
  const std::lock_guard<std::mutex> hold(lock);
  return !seen.insert(folder).second;
}

// Removes the files that saves killed midway left beside `path`: those whose process is gone. A
// save still running (in this process or another, whoever's it is) keeps its file. A save that
// replaces a file looks for what saves of that file left; the first save into a folder by this
// process, for what saves of any file there left (a folder of thousands of new pictures is not
// looked through for each).
void RemoveLeftPartials(const std::string& path, bool replacing) {
  const auto [folder, file] = FolderAndName(path);
  const bool first = !FolderSeen(folder);
  if (!first && !replacing) return;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  const pid_t self = ::getpid();
  while (const dirent* e = ::readdir(d)) {
    const pid_t pid = PartialOwner(e->d_name, first ? std::string_view() : std::string_view(file));
    if (pid == 0 || pid == self || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      (void)::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

// The stream a writer gets: the new file's own handle, never opened again by name (a read-only
// mode would refuse that to anyone but root). To the writer it is a TFileStream. It remembers why
// a write stopped short, so that the failure names the file and the reason rather than the
// stream's bare "Stream write error".
class TSaveStream : public THandleStream {
 public:
  explicit TSaveStream(int fd) : THandleStream(fd) {}
  ~TSaveStream() override { ::close(handle_); }
  TClass ClassType() const noexcept override { return TFileStream::StaticClass(); }
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    errno = 0;
    const std::int64_t done = THandleStream::Write(Buffer, Count);
    if (done < Count && error == 0) error = errno != 0 ? errno : EIO;
    return done;
  }
  int error = 0;
};

bool WriteAllAt(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += std::size_t(n);
  }
  return true;
}

// Writes the data over the existing file `path`, which cannot be replaced (`notBeside` says why):
// the room for all of it is reserved first, so that a full disk refuses the save before a byte is
// changed.
void WriteInPlace(const std::string& path, const std::string& shown, const char* data, std::size_t size,
                  const std::string& notBeside) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) CannotCreate(shown, SysErrorMessage(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    CannotCreate(shown, SysErrorMessage(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    CannotCreate(shown, Kind(st.st_mode));
  }
  // The file's size follows the reservation, so that a size limit is met here too; a refusal
  // gives the old size back.
  if (size > 0 && ::fallocate(fd, 0, 0, off_t(size)) != 0) {
    const int err = errno;
    (void)::ftruncate(fd, st.st_size);
    ::close(fd);
    CannotWrite(shown, notBeside + " and the room for " + std::to_string(size) + " bytes cannot be reserved in it (" +
                           SysErrorMessage(err) + "); it is as it was");
  }
  const bool ok = WriteAllAt(fd, data, size) && ::ftruncate(fd, off_t(size)) == 0 && ::fsync(fd) == 0;
  const int err = errno;
  if (::close(fd) != 0 || !ok)
    CannotWrite(shown, notBeside + " and writing it in place failed (" + SysErrorMessage(ok ? errno : err) +
                           "); it may be damaged");
}

std::string NoNewFile(int why) { return "No new file can replace it (" + SysErrorMessage(why) + ")"; }

// The same where the data is still to be written.
void SaveInPlace(const std::string& path, const std::string& shown, const std::function<void(TStream*)>& Write,
                 const std::string& notBeside) {
  TMemoryStream data;
  Write(&data);
  WriteInPlace(path, shown, static_cast<const char*>(data.Memory()), std::size_t(data.Size()), notBeside);
}

bool ReadAll(int fd, std::vector<char>& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  out.resize(std::size_t(st.st_size));
  for (std::size_t done = 0; done < out.size();) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

// A rename the folder refuses while the file itself may be written: a file that is a mount point
// (EBUSY), or another user's file in a folder with the sticky bit (EPERM, EACCES).
bool RenameImpossible(int err) { return err == EBUSY || err == EPERM || err == EACCES; }

}  // namespace

void SaveFile(const std::string& FileName, const std::function<void(TStream*)>& Write, const std::string& ShownName) {
  const std::string& shown = ShownName.empty() ? FileName : ShownName;
  const std::string path = LinkedFile(FileName, shown);
  struct stat old;
  const bool hadOld = ::stat(path.c_str(), &old) == 0;
  if (hadOld) CheckIsFile(old, shown);

  RemoveLeftPartials(path, hadOld);
  const std::string partial = PartialName(path);
  // Private until its owner and mode are set: what a private file holds is never open to others.
  const int fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, hadOld ? 0600 : 0666);
  if (fd < 0) {
    const int why = errno;
    if (!hadOld) CannotCreate(shown, SysErrorMessage(why));
    SaveInPlace(path, shown, Write, NoNewFile(why));
    return;
  }
  auto stream = std::make_unique<TSaveStream>(fd);
  auto drop = [&] {
    stream.reset();
    ::unlink(partial.c_str());
  };
  if (hadOld) {
    // The new file is the old one's owner's, with its mode. Where the saver may not give it
    // away (another user's file in a folder the saver may write, a group the saver is not in),
    // a new file would take the old one over: it is written in place instead, which only its
    // owner's rights allow.
    struct stat made;
    if (::fstat(fd, &made) != 0 || made.st_uid != old.st_uid || made.st_gid != old.st_gid) {
      if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        const int why = errno;
        drop();
        SaveInPlace(path, shown, Write, "A new file would not keep its owner (" + SysErrorMessage(why) + ")");
        return;
      }
    }
    (void)::fchmod(fd, old.st_mode & 07777);  // a failure leaves 0600, never more open than it was
  }
  try {
    Write(stream.get());
  } catch (const EWriteError&) {
    const int err = stream->error;
    drop();
    if (err != 0) CannotWrite(shown, SysErrorMessage(err));
    throw;
  } catch (...) {
    drop();
    throw;
  }
  // On the disk before it replaces the old file: a disk that fills up or fails late says so here.
  if (::fsync(stream->Handle()) != 0 && errno != EINVAL) {
    const int err = errno;
    drop();
    CannotWrite(shown, SysErrorMessage(err));
  }
  if (::rename(partial.c_str(), path.c_str()) != 0) {
    const int why = errno;
    std::vector<char> data;
    const bool read = hadOld && RenameImpossible(why) && ReadAll(stream->Handle(), data);
    drop();
    if (!read) CannotCreate(shown, SysErrorMessage(why));
    WriteInPlace(path, shown, data.data(), data.size(), NoNewFile(why));
    return;
  }
  stream.reset();
  // The rename itself on the disk too (best effort: some file systems refuse a folder's fsync).
  const std::string folder = FolderAndName(path).first;
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
}

void SaveFileBytes(const std::string& FileName, std::string_view Bytes, const std::string& ShownName) {
  SaveFile(
      FileName, [Bytes](TStream* Stream) { Stream->WriteBuffer(Bytes.data(), std::int64_t(Bytes.size())); }, ShownName);
}
