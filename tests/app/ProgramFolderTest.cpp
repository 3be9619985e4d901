// The build step that fills the program folder with the shipped files: it adds
// what is missing and never replaces what the user or the program wrote.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#if defined(TAMRIVEL_CMAKE) && defined(TAMRIVEL_COPY_MISSING)
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
