// Runs tests of this program again in a child process whose windows Qt scales
// by 2 (QT_SCALE_FACTOR=2), as on a high-resolution screen: the scale is fixed
// when the application object is made, so one program cannot test both. The
// tests the child runs are disabled ones (DISABLED_ names), which the normal
// run leaves out.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <string>

// Fails the calling test unless the child ran the tests `filter` selects and
// they passed (the child's output tells why); skips it when they were skipped.
inline void ExpectPassesAtScaleTwo(const char* filter) {
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_SCALE_FACTOR", "2");
  env.remove("QT_SCREEN_SCALE_FACTORS");
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QCoreApplication::applicationFilePath(),
              QStringList{QString("--gtest_filter=") + filter, "--gtest_also_run_disabled_tests"});
  // A bound for a hung child, not a measurement.
  if (!child.waitForFinished(600000)) {
    child.kill();
    child.waitForFinished();
    ADD_FAILURE() << "the run at scale 2 did not end";
    return;
  }
  const std::string out = child.readAll().toStdString();
  if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
    ADD_FAILURE() << "at scale 2:\n" << out;
  } else if (out.find("[  SKIPPED ]") != std::string::npos) {
    GTEST_SKIP() << "skipped at scale 2:\n" << out;
  } else if (out.find("[       OK ]") == std::string::npos) {
    ADD_FAILURE() << "nothing ran at scale 2:\n" << out;
  }
}
