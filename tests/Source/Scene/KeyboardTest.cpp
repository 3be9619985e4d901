// Keyboard polling over the platform key state (its sides: platform tests).
#include <gtest/gtest.h>

#include "Source/Scene/Keyboard.h"
#include "platform/KeyState.h"

namespace {

TEST(Keyboard, KeysReadTheStateOfThisMomentAndWheelCodesAnswerFalse) {
  ClearKeyStates();
  EXPECT_FALSE(IsKeyDown(17));
  SetKeyState(VK_LCONTROL, true);
  EXPECT_TRUE(IsKeyDown(17));  // either Control key
  EXPECT_TRUE(IsKeyDown(17));  // held, not "pressed since the last call"
  SetKeyState(VK_LCONTROL, false);
  EXPECT_FALSE(IsKeyDown(17));
  // 134/135 are wheel codes, not keys: even a recorded key state for them is not read.
  SetKeyState(134, true);
  EXPECT_FALSE(IsKeyDown(134));
  EXPECT_FALSE(IsKeyDown(135));
  EXPECT_FALSE(IsKeyDown(1000));
  ClearKeyStates();
}

}  // namespace
