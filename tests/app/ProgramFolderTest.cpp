// The build step that fills the program folder with the shipped files, and the
// program's first start that fills the user's folder from it: both add what is
// missing and never replace what the user or the program wrote, whether it is
// older or newer than the shipped copy.
#include <gtest/gtest.h>

#include "app/UserFiles.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"
#include "tests/common/TempFolder.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {
QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}
void Write(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
}
// The file's time set to `seconds` from now: a copy rule that goes by time
// (copy when the times differ, or when the shipped one is newer) would
// replace it.
void Age(const QString& path, int seconds) {
  namespace fs = std::filesystem;
  fs::last_write_time(path.toStdString(), fs::file_time_type::clock::now() + std::chrono::seconds(seconds));
}
}  // namespace

#if defined(TAMRIVEL_CMAKE) && defined(TAMRIVEL_COPY_MISSING)
namespace {
// Runs the step as the build runs it; its exit code.
int Fill(const QString& from, const QString& to) {
  QProcess p;
  p.start(TAMRIVEL_CMAKE, {"-DFROM=" + from, "-DTO=" + to, "-P", TAMRIVEL_COPY_MISSING});
  if (!p.waitForFinished(60000)) return -1;
  return p.exitCode();
}
}  // namespace

TEST(ProgramFolder, ABuildAddsTheMissingShippedFilesAndKeepsTheOnesThere) {
  QTemporaryDir shipped, program;
  ASSERT_TRUE(shipped.isValid() && program.isValid());
  const QString from = shipped.path(), to = program.filePath("app");
  Write(from + "/Senders.txt", "# shipped\n");
  Write(from + "/SnifferPCsInfo.ini", "[Default]\n");
  Write(from + "/Images/Selected.bmp", "shipped picture");
  Write(from + "/Images/default.bmp", "shipped default");

  // A fresh program folder (a clean clone's first build) gets every file.
  ASSERT_EQ(Fill(from, to), 0);
  EXPECT_EQ(Read(to + "/Senders.txt"), "# shipped\n");
  EXPECT_EQ(Read(to + "/Images/Selected.bmp"), "shipped picture");

  // The user adds a sender, "Save Object" a section, the program a label;
  // one shipped picture is deleted. The next build restores only that one.
  Write(to + "/Senders.txt", "# shipped\n10.9.9.9,5000\n");
  Write(to + "/SnifferPCsInfo.ini", "[Default]\n[IP10_0_1]\nX=4\n");
  Write(to + "/Images/default.bmp", "the user's own");
  Write(to + "/Images/MYPC.bmp", "a label");
  ASSERT_TRUE(QFile::remove(to + "/Images/Selected.bmp"));
  // The user's files older (written two minutes before the shipped ones
  // changed) and newer than the shipped copies.
  for (const char* shippedFile : {"/Senders.txt", "/SnifferPCsInfo.ini", "/Images/default.bmp"})
    Age(from + shippedFile, 0);
  Age(to + "/Senders.txt", -120);
  Age(to + "/SnifferPCsInfo.ini", 120);
  Age(to + "/Images/default.bmp", -2);
  ASSERT_EQ(Fill(from, to), 0);
  EXPECT_EQ(Read(to + "/Senders.txt"), "# shipped\n10.9.9.9,5000\n");
  EXPECT_EQ(Read(to + "/SnifferPCsInfo.ini"), "[Default]\n[IP10_0_1]\nX=4\n");
  EXPECT_EQ(Read(to + "/Images/default.bmp"), "the user's own");
  EXPECT_EQ(Read(to + "/Images/MYPC.bmp"), "a label");
  EXPECT_EQ(Read(to + "/Images/Selected.bmp"), "shipped picture");

  // A newer shipped copy does not replace the user's either.
  Write(from + "/Senders.txt", "# shipped, newer\n");
  ASSERT_EQ(Fill(from, to), 0);
  EXPECT_EQ(Read(to + "/Senders.txt"), "# shipped\n10.9.9.9,5000\n");
}

TEST(ProgramFolder, TheStepFailsWithoutItsFolders) { EXPECT_NE(Fill("", ""), 0); }
#endif

// The user's folder at first start gets the program folder's files; at later
// starts only those it lacks. Build output beside them is no file of the user's.
TEST(ProgramFolder, TheUsersFolderGetsOnlyTheFilesItLacks) {
  QTemporaryDir program, user;
  ASSERT_TRUE(program.isValid() && user.isValid());
  const QString from = program.path(), to = user.filePath("tamrivel");
  Write(from + "/Senders.txt", "# shipped\n");
  Write(from + "/SnifferPCsInfo.ini", "[Default]\n");
  Write(from + "/Receivers.txt", "# shipped\n");
  Write(from + "/images/Selected.bmp", "shipped picture");  // found in any case
  Write(from + "/libapplib.a", "build output");
  Write(from + "/Tamrivel.ini", "[Form1]\nLeft=7\n");  // a run of an earlier version left it there
  std::vector<std::string> failed;
  QDir().mkpath(to);
  std::vector<std::string> copied = CopyMissingFiles(from.toStdString(), to.toStdString(), failed);
  std::sort(copied.begin(), copied.end());
  EXPECT_EQ(copied, (std::vector<std::string>{"Images/Selected.bmp", "Receivers.txt", "Senders.txt",
                                              "SnifferPCsInfo.ini", "Tamrivel.ini"}));
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(Read(to + "/Images/Selected.bmp"), "shipped picture");
  EXPECT_FALSE(QFileInfo::exists(to + "/libapplib.a"));

  // The user's files, older and newer than the shipped ones; one in another
  // case; one deleted; a link that leads nowhere.
  Write(to + "/Senders.txt", "# shipped\n10.9.9.9,5000\n");
  Write(to + "/SnifferPCsInfo.ini", "[Default]\n[IP10_0_1]\nX=4\n");
  Write(to + "/Images/Selected.bmp", "the user's own");
  ASSERT_TRUE(QFile::rename(to + "/Images/Selected.bmp", to + "/Images/SELECTED.BMP"));
  ASSERT_TRUE(QFile::remove(to + "/Receivers.txt"));
  ASSERT_EQ(::symlink("/nowhere/Tamrivel.ini", (to + "/Tamrivel.ini.link").toLocal8Bit().constData()), 0);
  ASSERT_TRUE(QFile::remove(to + "/Tamrivel.ini"));
  ASSERT_TRUE(QFile::rename(to + "/Tamrivel.ini.link", to + "/Tamrivel.ini"));
  Write(from + "/Senders.txt", "# shipped, newer\n");
  Age(to + "/Senders.txt", -120);
  Age(to + "/SnifferPCsInfo.ini", 120);
  copied = CopyMissingFiles(from.toStdString(), to.toStdString(), failed);
  EXPECT_EQ(copied, std::vector<std::string>{"Receivers.txt"});
  EXPECT_EQ(Read(to + "/Senders.txt"), "# shipped\n10.9.9.9,5000\n");
  EXPECT_EQ(Read(to + "/SnifferPCsInfo.ini"), "[Default]\n[IP10_0_1]\nX=4\n");
  EXPECT_EQ(Read(to + "/Images/SELECTED.BMP"), "the user's own");
  EXPECT_FALSE(QFileInfo::exists(to + "/Images/Selected.bmp"));
  EXPECT_TRUE(QFileInfo(to + "/Tamrivel.ini").isSymLink());
  EXPECT_TRUE(failed.empty());
}

TEST(ProgramFolder, TheUsersFolderIsNamedOrTheDataFolders) {
  const QByteArray home = qgetenv("TAMRIVEL_HOME"), data = qgetenv("XDG_DATA_HOME"), user = qgetenv("HOME");
  qputenv("TAMRIVEL_HOME", "/srv/places");
  EXPECT_EQ(UserFilesFolder(), "/srv/places");
  qunsetenv("TAMRIVEL_HOME");
  qputenv("XDG_DATA_HOME", "/home/u/data");
  EXPECT_EQ(UserFilesFolder(), "/home/u/data/tamrivel");
  qputenv("XDG_DATA_HOME", "relative");  // not an absolute path: ignored, as the XDG rules say
  qputenv("HOME", "/home/u");
  EXPECT_EQ(UserFilesFolder(), "/home/u/.local/share/tamrivel");

  // The folder used: a relative one from the folder the program was started
  // in; the main window is told when it is the program's folder (no other
  // can be made) or inside the build folder.
  TTestFolder dir("user-files");
  const std::string root = std::filesystem::canonical(dir.Path()).string(), program = root + "/build/app";
  Write(QString::fromStdString(program + "/Senders.txt"), "# shipped\n");
  Write(QString::fromStdString(root + "/build/CMakeCache.txt"), "");
  Write(QString::fromStdString(root + "/a-file"), "");
  const std::filesystem::path started = std::filesystem::current_path();
  const char* const rows[][4] = {
      {"data", "", "/data", ""},
      {"data", "/build/app", "/build/app/data", "are kept in @/build/app/data, inside the build folder @/build: "},
      {"@/a-file", "", "/build/app", "are kept in the program's folder @/build/app: cannot make @/a-file"},
      {nullptr, "", "/build/app", "are kept in the program's folder @/build/app: HOME is not set"}};
  for (const auto& [named, startedIn, keptIn, told] : rows) {
    SCOPED_TRACE(keptIn);
    const std::string notice = QString(told).replace("@", QString::fromStdString(root)).toStdString();
    SetProgramFolder(program);
    qunsetenv("XDG_DATA_HOME");
    named ? qputenv("TAMRIVEL_HOME", QByteArray(named).replace("@", root.c_str())) : qunsetenv("TAMRIVEL_HOME");
    named ? qputenv("HOME", "/nowhere") : qunsetenv("HOME");
    std::filesystem::current_path(root + startedIn);
    std::string shown;
    const std::vector<std::string> lines = UseUserFilesFolder(shown);
    std::filesystem::current_path(started);
    EXPECT_EQ(ProgramDir(), root + keptIn);
    EXPECT_EQ(shown.empty(), notice.empty());
    EXPECT_NE(shown.find(notice), std::string::npos) << shown;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), shown), shown.empty() ? 0 : 1);
  }
  SetProgramFolder("");
  for (const auto& [name, value] : {std::pair{"TAMRIVEL_HOME", home}, {"XDG_DATA_HOME", data}, {"HOME", user}})
    value.isNull() ? qunsetenv(name) : qputenv(name, value);
}
