// Test entry point shared by every test program. A run that selects the GL_*
// suites gets a QGuiApplication (and so a display connection); every other run
// gets a QCoreApplication, which is all the message layer needs. Either one
// calls setlocale(LC_ALL, ""), as the program does, so locale-independence is
// tested under the same conditions as in the field.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::string filter = GTEST_FLAG_GET(filter);
  std::unique_ptr<QCoreApplication> app;
  if (filter.rfind("GL_", 0) == 0)
    app = std::make_unique<QGuiApplication>(argc, argv);
  else
    app = std::make_unique<QCoreApplication>(argc, argv);
  return RUN_ALL_TESTS();
}
