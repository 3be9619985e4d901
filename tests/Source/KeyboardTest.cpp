// Keyboard polling over the platform key-state table.
#include <gtest/gtest.h>

#include "Source/Keyboard.h"
#include "platform/KeyState.h"

namespace {

TEST(Keyboard, KeysReadTheStateOfThisMoment) {
  ClearKeyStates();
  EXPECT_FALSE(IsKeyDown(17));
  SetKeyState(VK_LCONTROL, true);
  EXPECT_TRUE(IsKeyDown(17));  // either Control key
  EXPECT_TRUE(IsKeyDown(17));  // held, not "pressed since the last call"
  SetKeyState(VK_LCONTROL, false);
  EXPECT_FALSE(IsKeyDown(17));

  // The left Shift code is not answered by the right Shift key.
  SetKeyState(VK_RSHIFT, true);
  EXPECT_FALSE(IsKeyDown(160));
  EXPECT_TRUE(IsKeyDown(VK_SHIFT));
  SetKeyState(VK_LSHIFT, true);
  EXPECT_TRUE(IsKeyDown(160));
  ClearKeyStates();
  EXPECT_FALSE(IsKeyDown(160));
  EXPECT_FALSE(IsKeyDown(-1));
  EXPECT_FALSE(IsKeyDown(1000));
}

TEST(Keyboard, WheelCodesAnswerFalse) {
  ClearKeyStates();
  // 134/135 are wheel codes, not keys: even a recorded key state for them is not read.
  SetKeyState(134, true);
  EXPECT_FALSE(IsKeyDown(134));
  EXPECT_FALSE(IsKeyDown(135));
  EXPECT_FALSE(IsKeyDown(134));
  ClearKeyStates();
}

}  // namespace
