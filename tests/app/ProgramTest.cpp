// The program itself, run as a child process under the test's display in a
// copy of its folder: SIGINT and SIGTERM close it the normal way, and its exit
// code tells whether the settings and logs were saved.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

#include "platform/IniFiles.h"

namespace {

class GL_Program : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FDir.isValid());
    MakeProgramFolder();
    // The program folder holds the user's files too (a folder the user names).
    FEnv.insert("TAMRIVEL_HOME", FDir.path());
  }

  // The program folder as a build makes it.
  void MakeProgramFolder() {
    // A link to the program keeps the copy cheap; its folder is where it
    // finds the files it ships with.
    const QString program = FDir.filePath("tamrivel");
    if (::link(TAMRIVEL_PROGRAM, program.toLocal8Bit().constData()) != 0) {
      ASSERT_TRUE(QFile::copy(TAMRIVEL_PROGRAM, program));
    }
    CopyFolder(TAMRIVEL_APP_FILES, FDir.path());
  }

  static void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QFileInfo& e : QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
      if (e.isDir())
        CopyFolder(e.filePath(), to + "/" + e.fileName());
      else
        QFile::copy(e.filePath(), to + "/" + e.fileName());
    }
  }

  // Starts the program and waits until its event loop runs (its backlog
  // diagnostic, asked for here, comes from a timer of that loop, set up
  // after the signal handlers).
  void Start() {
    QProcessEnvironment env = FEnv;
    env.insert("TAMRIVEL_BACKLOG_MS", "20");
    FProgram.setProcessEnvironment(env);
    FProgram.setReadChannel(QProcess::StandardError);
    FProgram.setWorkingDirectory(FDir.path());
    FErrors.clear();
    FProgram.start(FDir.filePath("tamrivel"), {});
    ASSERT_TRUE(FProgram.waitForStarted(30000)) << FProgram.errorString().toStdString();
    while (!FErrors.contains("backlog ") && FProgram.state() == QProcess::Running) {
      FProgram.waitForReadyRead(30000);
      FErrors += FProgram.readAllStandardError();
    }
    ASSERT_EQ(FProgram.state(), QProcess::Running) << FErrors.toStdString();
  }

  // Sends the signal and waits for the program to end on its own.
  void StopWith(int signal) {
    ::kill(static_cast<pid_t>(FProgram.processId()), signal);
    ASSERT_TRUE(FProgram.waitForFinished(60000));
    FErrors += FProgram.readAllStandardError();
    ASSERT_EQ(FProgram.exitStatus(), QProcess::NormalExit) << "ended by the signal, not by its handler";
  }

  std::string File(const char* name) const { return FDir.filePath(name).toStdString(); }

  QTemporaryDir FDir{QDir::currentPath() + "/program-XXXXXX"};
  QProcess FProgram;
  QByteArray FErrors;
  QProcessEnvironment FEnv = QProcessEnvironment::systemEnvironment();
};

TEST_F(GL_Program, SigtermAndSigintCloseTheProgramAndSaveEverything) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    QFile::remove(FDir.filePath("OBJinfo.txt"));
    QFile::remove(FDir.filePath("Tamrivel.ini"));
    Start();
    StopWith(signal);
    EXPECT_EQ(FProgram.exitCode(), 0) << FErrors.toStdString();
    TIniFile ini(File("Tamrivel.ini"));
    EXPECT_TRUE(ini.SectionExists("Form1"));
    EXPECT_TRUE(ini.SectionExists("Form2_3D"));
    EXPECT_TRUE(QFileInfo(FDir.filePath("OBJinfo.txt")).size() > 0);
    EXPECT_TRUE(QFileInfo::exists(FDir.filePath("PKTdata.txt")));
  }
}

// The user's files live in the user's data folder, seeded from the program
// folder at first start: deleting the build ("rm -rf build") and building
// again keeps the saved places, the settings and the lists.
TEST_F(GL_Program, ACleanRebuildKeepsTheUsersFiles) {
  QTemporaryDir data;
  ASSERT_TRUE(data.isValid());
  FEnv.remove("TAMRIVEL_HOME");
  FEnv.insert("XDG_DATA_HOME", data.path());
  const QString user = data.filePath("tamrivel");
  Start();
  StopWith(SIGTERM);
  EXPECT_EQ(FProgram.exitCode(), 0) << FErrors.toStdString();
  EXPECT_TRUE(TIniFile((user + "/Tamrivel.ini").toStdString()).SectionExists("Form1"));
  EXPECT_FALSE(QFileInfo::exists(FDir.filePath("Tamrivel.ini")));
  EXPECT_FALSE(QFileInfo::exists(FDir.filePath("PKTdata.txt")));
  EXPECT_TRUE(QFileInfo::exists(user + "/Images/Selected.bmp"));
  QFile events(user + "/OBJinfo.txt");
  ASSERT_TRUE(events.open(QIODevice::ReadOnly));
  EXPECT_TRUE(events.readAll().contains("User files in " + user.toLocal8Bit())) << user.toStdString();

  // A place kept by Save Object, a server added; then the build goes and comes again.
  TIniFile((user + "/SnifferPCsInfo.ini").toStdString())
      .AddSection("IP10_1_0_6", {{"IPmin", "10.1.0.6"}, {"IPmax", "10.1.0.6"}, {"X", "18.52"}});
  {
    QFile senders(user + "/Senders.txt");
    ASSERT_TRUE(senders.open(QIODevice::Append));
    senders.write("10.9.9.9,5000\n");
  }
  ASSERT_TRUE(QDir(FDir.path()).removeRecursively());
  ASSERT_TRUE(QDir().mkpath(FDir.path()));
  MakeProgramFolder();
  Start();
  StopWith(SIGTERM);
  EXPECT_EQ(FProgram.exitCode(), 0) << FErrors.toStdString();
  EXPECT_EQ(TIniFile((user + "/SnifferPCsInfo.ini").toStdString()).ReadString("IP10_1_0_6", "X", ""), "18.52");
  QFile senders(user + "/Senders.txt");
  ASSERT_TRUE(senders.open(QIODevice::ReadOnly));
  EXPECT_TRUE(senders.readAll().endsWith("10.9.9.9,5000\n"));
}

TEST_F(GL_Program, ASaveThatFailsMakesTheExitCodeOne) {
  ASSERT_TRUE(QDir(FDir.path()).mkdir("OBJinfo.txt"));  // a folder in the way
  Start();
  StopWith(SIGTERM);
  EXPECT_EQ(FProgram.exitCode(), 1);
  EXPECT_TRUE(FErrors.contains("tamrivel: not saved: ")) << FErrors.toStdString();
  EXPECT_TRUE(FErrors.contains("OBJinfo.txt"));
  EXPECT_TRUE(TIniFile(File("Tamrivel.ini")).SectionExists("Form1"));  // the others are written
}

}  // namespace
