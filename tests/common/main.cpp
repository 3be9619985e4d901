// Test entry point shared by every test program. A run that selects any GL_*
// test gets a QApplication (a display connection, and widgets for viewer
// tests); every other run gets a QCoreApplication, which is all the message
// layer needs; the program's own tests always get a QApplication. Without a
// display the GL_* tests are skipped with the reason, and the rest still run.
// Either application calls setlocale(LC_ALL, ""), as the program does, so
// locale-independence is tested under the same conditions as in the field.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/common/TempFolder.h"

namespace {

bool IsGLSuite(const char* suite) { return std::strncmp(suite, "GL_", 3) == 0; }

// gtest's pattern match: '*' any run, '?' one character.
bool Matches(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return Matches(pattern + 1, name) || (*name != '\0' && Matches(pattern, name + 1));
  return *name != '\0' && (*pattern == '?' || *pattern == *name) && Matches(pattern + 1, name + 1);
}

bool MatchesAny(const std::string& patterns, const std::string& name) {
  size_t start = 0;
  while (true) {
    const size_t end = patterns.find(':', start);
    if (Matches(patterns.substr(start, end - start).c_str(), name.c_str())) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// Whether the filter ("positive[-negative]") selects a test of a GL_* suite.
[[maybe_unused]] bool SelectsGLTests(const std::string& filter) {
  const size_t dash = filter.find('-');
  std::string positive = filter.substr(0, dash);
  const std::string negative = dash == std::string::npos ? std::string() : filter.substr(dash + 1);
  if (positive.empty()) positive.push_back('*');
  const testing::UnitTest& all = *testing::UnitTest::GetInstance();
  for (int i = 0; i < all.total_test_suite_count(); ++i) {
    const testing::TestSuite& suite = *all.GetTestSuite(i);
    if (!IsGLSuite(suite.name())) continue;
    for (int j = 0; j < suite.total_test_count(); ++j) {
      std::string name = suite.name();
      name.append(1, '.').append(suite.GetTestInfo(j)->name());
      if (MatchesAny(positive, name) && !(dash != std::string::npos && MatchesAny(negative, name))) return true;
    }
  }
  return false;
}

// Why there is no display to draw on, or empty when there is one. A local
// display (":N") must have its server's socket.
std::string NoDisplayReason() {
  if (std::getenv("QT_QPA_PLATFORM") || std::getenv("WAYLAND_DISPLAY")) return {};
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return "DISPLAY is not set";
  if (display[0] != ':') return {};
  const std::string number(display + 1, std::strcspn(display + 1, "."));
  if (access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) == 0) return {};
  return std::string("no X server for DISPLAY ") + display;
}

// Skips every GL_* test, before its body runs, with the reason.
class TSkipGLTests : public testing::EmptyTestEventListener {
 public:
  explicit TSkipGLTests(std::string reason) : FReason(std::move(reason)) {}
  void OnTestStart(const testing::TestInfo& info) override {
    if (IsGLSuite(info.test_suite_name())) GTEST_SKIP() << "needs a display: " << FReason;
  }

 private:
  std::string FReason;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
#ifdef TAMRIVEL_TEST_WIDGETS
  const bool gui = true;
#else
  const bool gui = SelectsGLTests(GTEST_FLAG_GET(filter));
#endif
  const std::string noDisplay = gui ? NoDisplayReason() : std::string();
  if (!noDisplay.empty()) {
    // Widgets still work off screen; what needs OpenGL is skipped.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::UnitTest::GetInstance()->listeners().Append(new TSkipGLTests(noDisplay));
  }
  // Without a runtime folder Qt makes "runtime-<user>" in the temp folder and leaves it there.
  std::unique_ptr<TTestFolder> runtime;
  if (gui && !std::getenv("XDG_RUNTIME_DIR")) {
    runtime = std::make_unique<TTestFolder>("runtime");
    setenv("XDG_RUNTIME_DIR", runtime->Path().c_str(), 1);
  }
  std::unique_ptr<QCoreApplication> app;
  if (gui)
    app = std::make_unique<QApplication>(argc, argv);
  else
    app = std::make_unique<QCoreApplication>(argc, argv);
  return RUN_ALL_TESTS();
}
