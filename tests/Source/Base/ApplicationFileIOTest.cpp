// Tests of engine file access: missing files, backslashes and letter case, bare resource names,
// a failed save that keeps the old file, and saves through links that keep the link and the
// saved file's mode and owner.
#include "Source/Base/ApplicationFileIO.h"
#include "tests/common/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

class TTextFile : public TDataFile {
  RTL_CLASS(TTextFile, TDataFile)
 public:
  using TDataFile::TDataFile;
  std::string Text;
  void LoadFromStream(TStream* Stream) override {
    Text.assign(static_cast<std::size_t>(Stream->Size()), '\0');
    Stream->ReadBuffer(Text.data(), Stream->Size());
  }
};

class TTextWriterFile : public TTextFile {
  RTL_CLASS(TTextWriterFile, TTextFile)
 public:
  using TTextFile::TTextFile;
  void SaveToStream(TStream* Stream) override { Stream->WriteBuffer(Text.data(), Text.size()); }
};

// Every name in the folder (a save leaves no file of its own behind).
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Each test's files in a folder of its own, removed at its end.
class ApplicationFileIO : public testing::Test {
 protected:
  TTestFolder scratch_{"fileio"};
  std::string Dir() {
    ::mkdir((scratch_ / "Images").c_str(), 0700);
    return scratch_.Path() + "/";
  }
  std::string LinkDir() {
    ::mkdir((scratch_ / "sub").c_str(), 0700);
    return scratch_.Path() + "/";
  }
};

TEST_F(ApplicationFileIO, MissingFilesRaiseUnlessCreated) {
  std::string name = Dir() + "none.bin";
  std::remove(name.c_str());
  try {
    CreateFileStream(name, fmOpenRead);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "File not found: \"" + name + "\"");
  }
  EXPECT_FALSE(FileStreamExists(name));
  CreateFileStream(name, fmCreateLegacy)->WriteBuffer("abc", 3);
  EXPECT_TRUE(FileStreamExists(name));
  EXPECT_EQ(CreateFileStream(name, fmCreate)->Size(), 0);  // truncated
  EXPECT_FALSE(ApplicationFileIOAvailable());
  std::remove(name.c_str());
}

TEST_F(ApplicationFileIO, BackslashesAndLetterCaseFindTheFile) {
  std::string d = Dir();
  CreateFileStream(d + "Images/Floor.bmp", fmCreate)->WriteBuffer("x", 1);
  EXPECT_TRUE(FileStreamExists(d + "images\\floor.BMP"));
  EXPECT_EQ(CreateFileStream(d + "IMAGES/floor.bmp")->Size(), 1);
  std::remove((d + "Images/Floor.bmp").c_str());
}

TEST_F(ApplicationFileIO, DataFilesKeepTheBareResourceName) {
  std::string d = Dir();
  TTextWriterFile out(nullptr);
  out.Text = "hello";
  out.SaveToFile(d + "Images/c.glsm");
  EXPECT_EQ(out.ResourceName(), "c.glsm");

  TTextFile in(nullptr);
  in.LoadFromFile(d + "Images/c.glsm");
  EXPECT_EQ(in.Text, "hello");
  EXPECT_EQ(in.ResourceName(), "c.glsm");

  in.SetResourceName("kept");
  EXPECT_ANY_THROW(in.LoadFromFile(d + "Images/missing.glsm"));
  EXPECT_EQ(in.ResourceName(), "kept");  // left as it was

  try {
    in.SaveToFile(d + "Images/c.glsm");
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.Message()).find("Export for TTextFile to TFileStream not available."), std::string::npos);
  }
  std::unique_ptr<TDataFile> twin(in.CreateOfSameClass(&in));
  EXPECT_EQ(twin->ClassName(), "TTextFile");
  EXPECT_EQ(twin->GetOwner(), &in);
  std::remove((d + "Images/c.glsm").c_str());
}

// A format that only reads.
class TReadOnlyFile : public TTextFile {
  RTL_CLASS(TReadOnlyFile, TTextFile)
 public:
  using TTextFile::TTextFile;
};

TEST_F(ApplicationFileIO, AFailedSaveLeavesTheFileThatWasThere) {
  std::string d = Dir();
  TTextWriterFile out(nullptr);
  out.Text = "precious";
  out.SaveToFile(d + "Images/keep.txt");

  TReadOnlyFile readOnly(nullptr);
  EXPECT_THROW(readOnly.SaveToFile(d + "Images/keep.txt"), EAssertionFailed);
  TTextFile in(nullptr);
  in.LoadFromFile(d + "Images/keep.txt");
  EXPECT_EQ(in.Text, "precious");
  EXPECT_EQ(Entries(d + "Images"), std::vector<std::string>{"keep.txt"});  // nothing left beside it

  // A new file in a folder spelled with another letter case goes into that folder.
  out.Text = "new";
  out.SaveToFile(d + "images\\Fresh.txt");
  in.LoadFromFile(d + "Images/Fresh.txt");
  EXPECT_EQ(in.Text, "new");
  // A missing folder fails with the name asked for.
  try {
    out.SaveToFile(d + "NoSuchFolder/x.txt");
    ADD_FAILURE();
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find("NoSuchFolder/x.txt\""), std::string::npos) << e.Message();
  }
  std::remove((d + "Images/keep.txt").c_str());
  std::remove((d + "Images/Fresh.txt").c_str());
}

std::string Text(const std::string& name) {
  TTextFile in(nullptr);
  in.LoadFromFile(name);
  return in.Text;
}

bool IsLink(const std::string& name) {
  struct stat st;
  return ::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string LinkTarget(const std::string& name) {
  char buf[512];
  ssize_t n = ::readlink(name.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, size_t(n));
}

mode_t Mode(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void Save(const std::string& name, const std::string& text) {
  TTextWriterFile out(nullptr);
  out.Text = text;
  out.SaveToFile(name);
}

void WriteDirect(const std::string& name, const std::string& text) {
  FILE* f = std::fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// The id of a process that has ended.
pid_t GonePid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid;
}

// Runs `work` in a child process as the user `uid`, group `gid`: its exit status; -1 where this
// process may not change user (not root), -2 where that user cannot reach `folder`.
int AsUser(uid_t uid, gid_t gid, const std::string& folder, const std::function<int()>& work) {
  if (::geteuid() != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(99);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) ::_exit(98);
    int code = 97;
    try {
      code = work();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 99) return -1;
  return WEXITSTATUS(status) == 98 ? -2 : WEXITSTATUS(status);
}

// A case a test cannot set up here, told in its output.
void RowSkipped(const std::string& row, const std::string& why) {
  std::cout << "[  SKIPPED ] row \"" << row << "\": " << why << std::endl;
}

// Saving to a link (relative, absolute, a chain of them, spelled in another letter case) writes
// the file at its end and leaves every link as it was; a link to a file not there yet creates it.
TEST_F(ApplicationFileIO, ASaveThroughALinkWritesItsTargetAndKeepsTheLink) {
  const std::string d = LinkDir();
  Save(d + "real.bin", "old");
  ASSERT_EQ(::symlink("real.bin", (d + "link.bin").c_str()), 0);
  ASSERT_EQ(::symlink("link.bin", (d + "chain.bin").c_str()), 0);
  ASSERT_EQ(::symlink((d + "real.bin").c_str(), (d + "abs.bin").c_str()), 0);
  ASSERT_EQ(::symlink("../chain.bin", (d + "sub/rel.bin").c_str()), 0);

  Save(d + "link.bin", "one");
  EXPECT_TRUE(IsLink(d + "link.bin"));
  EXPECT_EQ(LinkTarget(d + "link.bin"), "real.bin");
  EXPECT_EQ(Text(d + "real.bin"), "one");
  Save(d + "chain.bin", "two");
  EXPECT_EQ(Text(d + "real.bin"), "two");
  Save(d + "abs.bin", "three");
  EXPECT_EQ(Text(d + "real.bin"), "three");
  Save(d + "sub/rel.bin", "four");
  EXPECT_EQ(Text(d + "real.bin"), "four");
  Save(d + "SUB\\Rel.BIN", "five");  // the link found without letter case
  EXPECT_EQ(Text(d + "real.bin"), "five");
  for (const char* link : {"link.bin", "chain.bin", "abs.bin", "sub/rel.bin"}) EXPECT_TRUE(IsLink(d + link)) << link;
  EXPECT_EQ(LinkTarget(d + "sub/rel.bin"), "../chain.bin");

  ASSERT_EQ(::symlink("made.bin", (d + "dangling.bin").c_str()), 0);
  Save(d + "dangling.bin", "made");
  EXPECT_TRUE(IsLink(d + "dangling.bin"));
  EXPECT_EQ(Text(d + "made.bin"), "made");
  EXPECT_EQ(Entries(d), (std::vector<std::string>{"abs.bin", "chain.bin", "dangling.bin", "link.bin", "made.bin",
                                                  "real.bin", "sub"}));

  // A file left beside by a save that was cut off (or another save's, still being written) is
  // never written through, nor taken.
  ASSERT_EQ(::symlink("victim.bin", (d + "new.bin.partial").c_str()), 0);
  Save(d + "new.bin", "new");
  EXPECT_EQ(Text(d + "new.bin"), "new");
  EXPECT_FALSE(IsLink(d + "new.bin"));
  EXPECT_FALSE(FileStreamExists(d + "victim.bin"));
  EXPECT_EQ(LinkTarget(d + "new.bin.partial"), "victim.bin");
  std::remove((d + "new.bin").c_str());
  std::remove((d + "new.bin.partial").c_str());

  // What saves killed midway left (their process gone) goes at the next save that replaces the
  // file, and at this process's first save into a folder whatever file it was for; what saves
  // still running made, and names of other forms, stay.
  const std::string gone = std::to_string(GonePid()), self = std::to_string(::getpid());
  ASSERT_EQ(::mkdir((d + "fresh").c_str(), 0700), 0);
  const std::vector<std::string> killed = {"real.bin.partial" + gone + "-0", "real.bin.partial" + gone + "-17",
                                           "fresh/new.bmp.partial" + gone + "-3",
                                           "fresh/other.bmp.partial" + gone + "-1"};
  const std::vector<std::string> kept = {
      "real.bin.partial1-0",     "real.bin.partial" + self + "-999999", "real.bin.partial" + gone + "-0x",
      "real.bin.partial" + gone, "other.bin.partial" + gone + "-0",     "fresh/other.bmp.partial1-1",
      "fresh/notes.partial7x"};
  for (const std::string& name : killed) WriteDirect(d + name, "cut off");
  for (const std::string& name : kept) WriteDirect(d + name, "running");
  Save(d + "real.bin", "replaced");
  Save(d + "fresh/new.bmp", "made");
  EXPECT_EQ(Text(d + "real.bin"), "replaced");
  for (const std::string& name : killed) EXPECT_FALSE(FileStreamExists(d + name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(Text(d + name), "running") << name;
  for (const std::string& name : kept) std::remove((d + name).c_str());
  std::filesystem::remove_all(d + "fresh");

  // Links that lead round in a circle are refused by name; they stay.
  ASSERT_EQ(::symlink("loop2.bin", (d + "loop1.bin").c_str()), 0);
  ASSERT_EQ(::symlink("loop1.bin", (d + "loop2.bin").c_str()), 0);
  try {
    Save(d + "loop1.bin", "lost");
    ADD_FAILURE();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + d + "loop1.bin\". " + SysErrorMessage(ELOOP));
  }
  EXPECT_EQ(LinkTarget(d + "loop1.bin"), "loop2.bin");
  EXPECT_EQ(LinkTarget(d + "loop2.bin"), "loop1.bin");
}

// The saved file keeps the mode (and, where it may, the owner) of the one it replaces, also while
// it is being written; a new file gets the usual mode.
TEST_F(ApplicationFileIO, ASaveKeepsTheModeAndOwnerOfTheFileItReplaces) {
  const std::string d = LinkDir();
  for (mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0755), mode_t(0444)}) {
    Save(d + "private.bin", "old");
    ASSERT_EQ(::chmod((d + "private.bin").c_str(), mode), 0);
    mode_t whileWriting = 0;
    WriteFileStream(d + "private.bin", [&](TStream* s) {
      for (const std::string& e : Entries(d))
        if (e.rfind("private.bin.partial", 0) == 0) whileWriting = Mode(d + e);
      s->WriteBuffer("new", 3);
    });
    EXPECT_EQ(Mode(d + "private.bin"), mode) << std::oct << mode;
    EXPECT_EQ(whileWriting, mode) << std::oct << mode;
    EXPECT_EQ(Text(d + "private.bin"), "new");
    ::chmod((d + "private.bin").c_str(), 0600);
    std::remove((d + "private.bin").c_str());
  }
  ASSERT_EQ(::symlink("private.bin", (d + "to-private.bin").c_str()), 0);
  Save(d + "private.bin", "old");
  ASSERT_EQ(::chmod((d + "private.bin").c_str(), 0600), 0);
  Save(d + "to-private.bin", "through the link");
  EXPECT_EQ(Mode(d + "private.bin"), mode_t(0600));

  const mode_t mask = ::umask(0);
  ::umask(mask);
  Save(d + "fresh.bin", "new");
  EXPECT_EQ(Mode(d + "fresh.bin"), 0666 & ~mask);

  // Another owner is kept where the saver may give it (here, when run with the right to).
  if (::chown((d + "private.bin").c_str(), 4321, 4322) == 0) {
    Save(d + "to-private.bin", "kept owner");
    struct stat st;
    ASSERT_EQ(::stat((d + "private.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid_t(4321));
    EXPECT_EQ(st.st_gid, gid_t(4322));
    EXPECT_EQ(st.st_mode & 07777, mode_t(0600));
  }

  // Another user's file in a folder both may write (a data folder shared by a team) is never
  // taken over: a save that cannot keep its owner writes it in place, which needs the right to
  // write the file itself. Only root can make such a file and change user to save it.
  const std::string shared = d + "shared/";
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(scratch_.Path().c_str(), 0711), 0);
  Save(shared + "theirs.ini", "old");
  Save(shared + "locked.ini", "old");
  const bool made = ::chown((shared + "theirs.ini").c_str(), 4321, 4321) == 0 &&
                    ::chown((shared + "locked.ini").c_str(), 4321, 4321) == 0 &&
                    ::chmod((shared + "theirs.ini").c_str(), 0666) == 0 &&
                    ::chmod((shared + "locked.ini").c_str(), 0644) == 0;
  const int saved = !made ? -1 : AsUser(4322, 4322, shared, [&] {
    Save(shared + "theirs.ini", "saved by another user");
    try {
      Save(shared + "locked.ini", "taken");
      return 1;
    } catch (const EFCreateError& e) {
      return e.Message() == "Cannot create file \"" + shared + "locked.ini\". " + SysErrorMessage(EACCES) ? 0 : 2;
    }
  });
  if (saved < 0) {
    RowSkipped("another user's file in a shared folder",
               saved == -1 ? "only root can make another user's file" : "the test folder is closed to other users");
  } else {
    EXPECT_EQ(saved, 0);
    for (const char* name : {"theirs.ini", "locked.ini"}) {
      struct stat st;
      ASSERT_EQ(::stat((shared + name).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, uid_t(4321)) << name;
      EXPECT_EQ(st.st_gid, gid_t(4321)) << name;
    }
    EXPECT_EQ(Mode(shared + "theirs.ini"), mode_t(0666));
    EXPECT_EQ(Text(shared + "theirs.ini"), "saved by another user");
    EXPECT_EQ(Text(shared + "locked.ini"), "old");
    EXPECT_EQ(Entries(shared), (std::vector<std::string>{"locked.ini", "theirs.ini"}));
  }
}

// A save that cannot be written whole (the file size limit stands in for a full disk) is told and
// leaves the old file, the link and nothing else.
TEST_F(ApplicationFileIO, ASaveThatRunsOutOfRoomKeepsTheOldFileAndTheLink) {
  const std::string d = LinkDir();
  Save(d + "real.bin", "old");
  ASSERT_EQ(::chmod((d + "real.bin").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("real.bin", (d + "link.bin").c_str()), 0);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1000;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  try {
    Save(d + "link.bin", std::string(5000, 'x'));
    ADD_FAILURE();
  } catch (const EWriteError& e) {  // names the file and the reason
    EXPECT_EQ(e.Message(), "Cannot write file \"" + d + "link.bin\". " + SysErrorMessage(EFBIG));
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(Text(d + "real.bin"), "old");
  EXPECT_EQ(Mode(d + "real.bin"), mode_t(0600));
  EXPECT_TRUE(IsLink(d + "link.bin"));
  EXPECT_EQ(Entries(d), (std::vector<std::string>{"link.bin", "real.bin", "sub"}));
}

// Lifts the file size limit (a stand-in for a full disk) at the end of the scope.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = limit;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  bool Ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
  bool ok_ = false;
};

// Where no file can be made beside it (here a name so long that the one beside it cannot be named;
// a folder without write access is the same, which the tests, run as root, cannot make), the file
// is written in place, but only once the room for the new data is reserved: a disk without room
// refuses the save and the old file stays whole.
TEST_F(ApplicationFileIO, ASaveThatCannotReplaceTheFileWritesInPlaceOnlyWithTheRoomReserved) {
  const std::string d = LinkDir();
  const std::string longName = std::string(250, 'n');
  const std::string old(100000, 'o');
  WriteDirect(d + longName, old);
  ASSERT_EQ(::chmod((d + longName).c_str(), 0640), 0);
  ASSERT_EQ(::symlink(longName.c_str(), (d + "link.bin").c_str()), 0);
  {
    TFileSizeLimit limit(101000);
    ASSERT_TRUE(limit.Ok());
    try {
      Save(d + "link.bin", std::string(102400, 'x'));
      ADD_FAILURE() << "saved";
    } catch (const EWriteError& e) {
      EXPECT_EQ(e.Message().rfind("Cannot write file \"" + d + "link.bin\". ", 0), 0u) << e.Message();
      EXPECT_NE(e.Message().find(SysErrorMessage(ENAMETOOLONG)), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find(SysErrorMessage(EFBIG)), std::string::npos) << e.Message();
    }
  }
  EXPECT_EQ(Text(d + longName).size(), old.size());
  EXPECT_TRUE(Text(d + longName) == old);

  // With room, the new data replaces the old in place, longer or shorter; link and mode stay.
  Save(d + "link.bin", std::string(102400, 'x'));
  EXPECT_TRUE(Text(d + longName) == std::string(102400, 'x'));
  Save(d + "link.bin", "short");
  EXPECT_EQ(Text(d + longName), "short");
  EXPECT_EQ(Mode(d + longName), mode_t(0640));
  EXPECT_TRUE(IsLink(d + "link.bin"));
  EXPECT_EQ(Entries(d), (std::vector<std::string>{"link.bin", longName, "sub"}));
}

// A pipe (with no reader, a small save would vanish and a large one block for good), a socket or a
// device is refused by name and left as it was. Each is a node of the test's own: a failing test
// must never touch the machine's own devices.
TEST_F(ApplicationFileIO, ASaveOntoAPipeOrADeviceIsRefused) {
  const std::string d = LinkDir();
  std::vector<std::pair<std::string, mode_t>> nodes = {{"fifo", S_IFIFO}};
  ASSERT_EQ(::mkfifo((d + "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("fifo", (d + "to-fifo.bin").c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockName = d + "socket";
  if (sockName.size() < sizeof addr.sun_path) {
    sockName.copy(addr.sun_path, sockName.size());
    if (sock >= 0 && ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
      nodes.push_back({"socket", S_IFSOCK});
  }
  if (nodes.back().first != "socket") RowSkipped("socket", "no socket can be bound in the test folder");
  // The null device's numbers: were the check gone, a write would still go nowhere.
  if (::mknod((d + "device").c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0)
    nodes.push_back({"device", S_IFCHR});
  else
    RowSkipped("device", "this user may not make a device node (" + SysErrorMessage(errno) + ")");
  std::vector<std::string> names = {d + "to-fifo.bin"}, entries = {"sub", "to-fifo.bin"};
  for (const auto& node : nodes) {
    names.push_back(d + node.first);
    entries.push_back(node.first);
  }
  for (const std::string& name : names) {
    try {
      Save(name, "lost");
      ADD_FAILURE() << name;
    } catch (const EFCreateError& e) {
      EXPECT_EQ(e.Message().rfind("Cannot create file \"" + name + "\". It is a ", 0), 0u) << e.Message();
    }
  }
  if (sock >= 0) ::close(sock);
  for (const auto& node : nodes) {
    struct stat st;
    ASSERT_EQ(::lstat((d + node.first).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, node.second) << node.first;
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(Entries(d), entries);
}

// A save made while another save of the same file is being written (a writer that saves it
// itself, or another process) uses a file of its own beside it: both complete, the last wins.
TEST_F(ApplicationFileIO, SavesOfOneFileAtOnceDoNotTakeEachOthersFile) {
  const std::string d = LinkDir();
  Save(d + "shared.bin", "old");
  EXPECT_NO_THROW(WriteFileStream(d + "shared.bin", [&](TStream* s) {
    Save(d + "shared.bin", "inner");
    s->WriteBuffer("outer", 5);
  }));
  EXPECT_EQ(Text(d + "shared.bin"), "outer");
  EXPECT_EQ(Entries(d), (std::vector<std::string>{"shared.bin", "sub"}));
}

}  // namespace
