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
    // A link to the program keeps the copy cheap; its folder is where it
    // looks for its files.
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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
