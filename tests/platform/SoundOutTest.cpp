// Tests of sound output: playing from a copy of the caller's samples, and refused formats and
// devices.
#include "platform/SoundOut.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class SoundOut : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SoundOutAvailable()) GTEST_SKIP() << "built without sound output";
    saved_ = SoundOutDevice();
    SetSoundOutDevice("null");
  }
  void TearDown() override {
    if (!SoundOutAvailable()) return;
    StopAllSounds();
    SetSoundOutDevice(saved_);
  }
  std::string saved_;
};

TEST_F(SoundOut, PlaysFromACopyThatOutlivesTheCallersBuffer) {
  TPcmFormat fmt{22050, 1, 8};
  {
    std::vector<std::uint8_t> samples(4000, 128);
    std::string err;
    ASSERT_TRUE(PlayPcm(fmt, samples.data(), samples.size(), &err)) << err;
  }  // buffer gone while the worker may still be writing
  fmt = {44100, 2, 16};
  std::vector<std::uint8_t> stereo(4 * 1000 + 3, 0);  // a partial frame at the end is cut
  ASSERT_TRUE(PlayPcm(fmt, stereo.data(), stereo.size()));
  WaitAllSounds();
  EXPECT_EQ(PlayingSoundCount(), 0);
}

TEST_F(SoundOut, RefusedFormatsAndDevicesReportText) {
  std::vector<std::uint8_t> samples(100, 0);
  std::string err;
  EXPECT_FALSE(PlayPcm({22050, 1, 12}, samples.data(), samples.size(), &err));
  EXPECT_NE(err.find("12 bits"), std::string::npos);
  EXPECT_FALSE(PlayPcm({22050, 0, 8}, samples.data(), samples.size(), &err));
  EXPECT_FALSE(PlayPcm({0, 1, 8}, samples.data(), samples.size(), &err));

  // A device that does not exist: the message names it and the call that failed.
  err.clear();
  SetSoundOutDevice("no_such_device_here");
  EXPECT_FALSE(PlayPcm({22050, 1, 8}, samples.data(), samples.size(), &err));
  const std::string opening = "Cannot open the sound device \"no_such_device_here\": snd_pcm_open failed: ";
  EXPECT_EQ(err.substr(0, opening.size()), opening) << err;
  EXPECT_GT(err.size(), opening.size()) << err;  // and the device's own text
  EXPECT_EQ(PlayingSoundCount(), 0);
}

}  // namespace
