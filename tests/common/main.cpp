// Test entry point shared by every test program. A run that selects the GL_*
// suites gets a QApplication (a display connection, and widgets for viewer
// tests); every other run
// gets a QCoreApplication, which is all the message layer needs; the program's
// own tests always get a QApplication. Either one
// calls setlocale(LC_ALL, ""), as the program does, so locale-independence is
// tested under the same conditions as in the field.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::string filter = GTEST_FLAG_GET(filter);
  std::unique_ptr<QCoreApplication> app;
#ifdef TAMRIVEL_TEST_WIDGETS
  // Widget tests need a QApplication; without a display they draw off screen.
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  app = std::make_unique<QApplication>(argc, argv);
#else
  if (filter.rfind("GL_", 0) == 0)
    app = std::make_unique<QApplication>(argc, argv);
  else
    app = std::make_unique<QCoreApplication>(argc, argv);
#endif
  return RUN_ALL_TESTS();
}
