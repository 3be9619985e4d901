// Tests of the key-state table's sided modifiers, and of the performance counter and zone bias.
#include "platform/KeyState.h"
#include "platform/Timing.h"

#include <gtest/gtest.h>

#include <Qt>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

TEST(KeyState, SidedModifiersAndTheSidelessCode) {
  ClearKeyStates();
  EXPECT_EQ(GetAsyncKeyState(VK_LSHIFT), 0);
  SetKeyStateFromQt(Qt::Key_Shift, 0xFFE2 /* right Shift */, true);
  EXPECT_LT(GetAsyncKeyState(VK_SHIFT), 0);  // the sign bit: held
  EXPECT_LT(GetAsyncKeyState(VK_RSHIFT), 0);
  EXPECT_EQ(GetAsyncKeyState(VK_LSHIFT), 0);  // the 3D view polls the left one only

  SetKeyStateFromQt(Qt::Key_Shift, 0xFFE1, true);
  SetKeyStateFromQt(Qt::Key_Shift, 0xFFE2, false);
  EXPECT_LT(GetAsyncKeyState(VK_SHIFT), 0);  // the other Shift is still down
  EXPECT_LT(GetAsyncKeyState(VK_LSHIFT), 0);
  SetKeyStateFromQt(Qt::Key_Shift, 0xFFE1, false);
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);

  SetKeyStateFromQt(Qt::Key_Control, 0, true);  // side unknown
  EXPECT_LT(GetAsyncKeyState(VK_CONTROL), 0);
  EXPECT_EQ(GetAsyncKeyState(VK_LCONTROL), 0);
  ClearKeyStates();
  EXPECT_EQ(GetAsyncKeyState(VK_CONTROL), 0);

  SetKeyState(VK_LBUTTON, true);
  EXPECT_LT(GetAsyncKeyState(VK_LBUTTON), 0);
  SetKeyState(VK_LBUTTON, false);
  for (int bad : {-1, 0, 256, 100000}) {
    SetKeyState(bad, true);
    EXPECT_EQ(GetAsyncKeyState(bad), 0);
  }
  // Wheel pseudo codes are never set by the widgets.
  EXPECT_EQ(GetAsyncKeyState(134), 0);
  EXPECT_EQ(GetAsyncKeyState(135), 0);
}

// Sets environment variables for a scope and puts back what was there.
class TScopedEnvironment {
 public:
  explicit TScopedEnvironment(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      const char* v = std::getenv(name);
      FSaved.push_back({name, v != nullptr, v ? v : ""});
    }
  }
  ~TScopedEnvironment() {
    for (const auto& s : FSaved) {
      if (s.set)
        ::setenv(s.name, s.value.c_str(), 1);
      else
        ::unsetenv(s.name);
    }
  }
  void Set(const char* name, const char* value) {
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }

 private:
  struct TSaved {
    const char* name;
    bool set;
    std::string value;
  };
  std::vector<TSaved> FSaved;
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "(unset)";
}

TEST(KeyState, AWaylandSessionWithAnXServerGetsTheX11PlatformUnlessTheUserChoseOne) {
  TScopedEnvironment env({"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"});
  char program[] = "tamrivel", platform[] = "-platform", wayland[] = "wayland", dashes[] = "--platform";
  char* plain[] = {program};
  env.Set("WAYLAND_DISPLAY", "wayland-0");
  env.Set("DISPLAY", ":0");
  env.Set("QT_QPA_PLATFORM", nullptr);
  EXPECT_TRUE(PreferX11Platform(1, plain));
  EXPECT_EQ(Env("QT_QPA_PLATFORM"), "xcb");

  // The user's choice stands: in the environment, or among the arguments.
  env.Set("QT_QPA_PLATFORM", "wayland");
  EXPECT_FALSE(PreferX11Platform(1, plain));
  EXPECT_EQ(Env("QT_QPA_PLATFORM"), "wayland");
  env.Set("QT_QPA_PLATFORM", nullptr);
  for (char* option : {platform, dashes}) {
    char* chosen[] = {program, option, wayland};
    EXPECT_FALSE(PreferX11Platform(3, chosen));
    EXPECT_EQ(Env("QT_QPA_PLATFORM"), "(unset)");
  }

  // Wayland without an X server, or an X session: nothing to choose.
  env.Set("DISPLAY", nullptr);
  EXPECT_FALSE(PreferX11Platform(1, plain));
  env.Set("DISPLAY", ":0");
  env.Set("WAYLAND_DISPLAY", nullptr);
  EXPECT_FALSE(PreferX11Platform(1, plain));
  EXPECT_EQ(Env("QT_QPA_PLATFORM"), "(unset)");
}

TEST(Timing, CounterAndZoneBias) {
  std::int64_t freq = 0, a = 0, b = 0;
  EXPECT_TRUE(QueryPerformanceFrequency(freq));
  EXPECT_EQ(freq, 1'000'000'000);
  EXPECT_TRUE(QueryPerformanceCounter(a));
  Sleep(2);
  EXPECT_TRUE(QueryPerformanceCounter(b));
  EXPECT_GE(b - a, 2'000'000);  // a sleep of 2 ms is at least 2 ms of counter

  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "XYZ-3", 1);  // three hours east of UTC, no daylight saving
  ::tzset();
  EXPECT_EQ(LocalZoneBias(), -180);
  ::setenv("TZ", "ABC+4:30", 1);
  ::tzset();
  EXPECT_EQ(LocalZoneBias(), 270);
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
