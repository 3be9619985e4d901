// Sound samples, libraries, sources, the manager's activation and update rate, and the emitter.
#include "Source/Objects/GLSound.h"

#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string WavBytes(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::uint32_t dataBytes) {
  std::string s = "RIFF";
  auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
  };
  auto put16 = [&](std::uint16_t v) {
    s.push_back(char(v));
    s.push_back(char(v >> 8));
  };
  put32(36 + dataBytes);
  s += "WAVEfmt ";
  put32(16);
  put16(1);
  put16(channels);
  put32(rate);
  put32(rate * channels * bits / 8);
  put16(std::uint16_t(channels * bits / 8));
  put16(bits);
  s += "data";
  put32(dataBytes);
  return s + std::string(dataBytes, '\0');
}

std::unique_ptr<TGLWAVFile> Wav(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::uint32_t n) {
  TStringStream s(WavBytes(channels, rate, bits, n));
  auto wav = std::make_unique<TGLWAVFile>(nullptr);
  wav->LoadFromStream(&s);
  return wav;
}

// Counts what the back end is asked to do.
class TCountingManager : public TGLSoundManager {
 public:
  using TGLSoundManager::TGLSoundManager;
  ~TCountingManager() override { SetActive(false); }
  int Applies = 0, Releases = 0, Mutes = 0, Stops = 0, Pauses = 0;
  bool RefuseStart = false, RefuseMute = false;
  void ApplySource(TGLBaseSoundSource* s) override {
    ++Applies;
    TGLSoundManager::ApplySource(s);
  }
  void ReleaseSource(TGLBaseSoundSource*) override { ++Releases; }
  void MuteOneSource(TGLBaseSoundSource*, bool) override { ++Mutes; }
  void PauseOneSource(TGLBaseSoundSource*, bool) override { ++Pauses; }

 protected:
  bool MuteAll() override { return !RefuseMute && TGLSoundManager::MuteAll(); }
  bool StartBackEnd() override { return !RefuseStart; }
  void StopBackEnd() override { ++Stops; }
};

std::vector<std::string> vMessages;
void Collect(const std::string& text) { vMessages.push_back(text); }

TEST(SoundSamples, DisplayNamesAndCopies) {
  TGLSoundLibrary lib(nullptr);
  TGLSoundSample* a = lib.Samples()->Add();
  a->SetName("a");
  EXPECT_EQ(a->DisplayName(), "a (empty)");
  auto stereo = Wav(2, 44100, 16, 176400);
  a->SetData(stereo.get());
  EXPECT_NE(a->Data(), stereo.get());  // a copy owned by the sample
  EXPECT_EQ(a->DisplayName(), "a (44100 Hz, 16 bits, 2 channels, 1.00 sec)");
  a->SetData(Wav(1, 22050, 8, 22050).get());
  EXPECT_EQ(a->DisplayName(), "a (22050 Hz, 8 bits, 1 channel, 1.00 sec)");

  TGLSoundSample* b = lib.Samples()->Add();
  b->Assign(a);
  EXPECT_EQ(b->Name(), "a");
  ASSERT_NE(b->Data(), nullptr);
  EXPECT_NE(b->Data(), a->Data());
  EXPECT_EQ(b->Data()->SampleByteCount(), 22050);
}

TEST(SoundSamples, BinaryDataRoundTripAndDamagedStreams) {
  TGLSoundLibrary lib(nullptr);
  lib.SetName("GLSoundLibrary1");
  RegisterGLSoundFileObjectsClasses();
  RegisterGLSoundClasses();
  TStringStream mp3Bytes(std::string("\xFF\xFB\x90\x44") + std::string(500, 'm'));
  TGLMP3File mp3(nullptr);
  mp3.LoadFromStream(&mp3Bytes);
  TGLSoundSample* s = lib.Samples()->Add();
  s->SetName("MTidle");
  s->SetData(&mp3);

  TMemoryStream stream;
  {
    TWriter w(&stream);
    w.WriteRootComponent(&lib);
  }
  stream.SetPosition(0);
  TGLSoundLibrary back(nullptr);
  {
    TReader r(&stream);
    r.ReadRootComponent(&back);
  }
  ASSERT_EQ(back.Samples()->Count(), 1);
  TGLSoundSample* got = back.Samples()->Items(0);
  EXPECT_EQ(got->Name(), "MTidle");
  ASSERT_NE(got->Data(), nullptr);
  EXPECT_EQ(got->Data()->ClassName(), "TGLMP3File");
  EXPECT_EQ(got->Data()->FileByteCount(), mp3.FileByteCount());
  EXPECT_EQ(0, std::memcmp(got->Data()->FileBytes(), mp3.FileBytes(), size_t(mp3.FileByteCount())));

  // A class-name length beyond the data, or a class that is no sound file, is refused.
  std::string bytes(static_cast<const char*>(stream.Memory()), size_t(stream.Size()));
  const size_t at = bytes.find("TGLMP3File");
  ASSERT_NE(at, std::string::npos);
  std::string huge = bytes;
  huge[at - 4] = '\xFF';
  huge[at - 3] = '\xFF';
  std::string wrong = bytes;
  wrong.replace(at, 10, "TGLSoundXX");
  for (const std::string& damaged : {huge, wrong}) {
    TStringStream in(damaged);
    TGLSoundLibrary target(nullptr);
    TReader r(&in);
    EXPECT_THROW(r.ReadRootComponent(&target), Exception);
  }
}

TEST(SoundSources, ClampsChangeSetsAndLibraryLookup) {
  TGLSoundSources sources(nullptr);
  TGLSoundSource* s = sources.Add();
  EXPECT_EQ(s->Changes(), AllSoundSourceChanges);
  s->SetChanges({});
  s->SetVolume(1.5f);
  EXPECT_EQ(s->Volume(), 1.0f);
  EXPECT_TRUE(s->Changes().Empty());  // equal after clamping: nothing changed
  s->SetVolume(0.5f);
  EXPECT_EQ(s->Changes(), TGLSoundSourceChanges{sscStatus});
  s->SetInsideConeAngle(400);
  s->SetMinDistance(-1);
  s->SetConeOutsideVolume(-2);
  EXPECT_EQ(s->InsideConeAngle(), 360.0f);
  EXPECT_EQ(s->MinDistance(), 0.0f);
  EXPECT_EQ(s->ConeOutsideVolume(), 0.0f);
  s->SetSoundName("MTrev");
  EXPECT_TRUE(s->Changes().Contains(sscSample));

  auto lib = std::make_unique<TGLSoundLibrary>(nullptr);
  lib->SetName("Lib");
  s->SetSoundLibrary(lib.get());
  EXPECT_EQ(FindSoundLibrary("Lib"), lib.get());
  EXPECT_EQ(FindSoundLibrary("lib"), nullptr);
  lib.reset();  // the source keeps the name only
  EXPECT_EQ(s->SoundLibrary(), nullptr);
  EXPECT_EQ(s->SoundLibraryName(), "Lib");
  TGLSoundLibrary again(nullptr);
  again.SetName("Lib");
  EXPECT_EQ(s->SoundLibrary(), &again);  // resolved by name when asked for

  // The binary form keeps every streamed field; Frequency is not among them.
  s->SetPriority(3);
  s->SetNbLoops(2);
  s->SetMute(true);
  s->SetFrequency(8000);
  TMemoryStream st;
  {
    TWriter w(&st);
    s->WriteToFiler(&w);
  }
  st.SetPosition(0);
  TGLSoundSource* t = sources.Add();
  t->SetChanges({});
  {
    TReader r(&st);
    t->ReadFromFiler(&r);
  }
  EXPECT_EQ(t->Priority(), 3);
  EXPECT_EQ(t->Volume(), 0.5f);
  EXPECT_EQ(t->NbLoops(), 2);
  EXPECT_TRUE(t->Mute());
  EXPECT_EQ(t->SoundName(), "MTrev");
  EXPECT_EQ(t->SoundLibraryName(), "Lib");
  EXPECT_EQ(t->Frequency(), -1);
  EXPECT_EQ(t->Changes(), AllSoundSourceChanges);
}

TEST(SoundManager, OneActiveManagerAndItsSources) {
  TCountingManager a(nullptr), b(nullptr);
  a.SetActive(true);
  EXPECT_EQ(ActiveSoundManager(), &a);
  a.Sources()->Add()->SetMute(true);  // muting goes to the back end at once
  EXPECT_EQ(a.Mutes, 1);
  a.Sources()->Add();

  b.SetActive(true);
  EXPECT_FALSE(a.Active());
  EXPECT_EQ(a.Sources()->Count(), 0);
  EXPECT_EQ(a.Releases, 2);
  EXPECT_EQ(a.Stops, 1);
  EXPECT_EQ(ActiveSoundManager(), &b);

  TCountingManager refused(nullptr);
  refused.RefuseStart = true;
  refused.SetActive(true);
  EXPECT_FALSE(refused.Active());
  b.SetActive(false);
  EXPECT_EQ(ActiveSoundManager(), nullptr);

  a.SetMaxChannels(0);
  a.SetOutputFrequency(8000);
  a.SetUpdateFrequency(100);
  a.SetDopplerFactor(12);
  a.SetDistanceFactor(-3);
  a.SetMasterVolume(2);
  EXPECT_EQ(a.MaxChannels(), 1);
  EXPECT_EQ(a.OutputFrequency(), 11025);
  EXPECT_EQ(a.UpdateFrequency(), 60.0f);
  EXPECT_EQ(a.DopplerFactor(), 10.0f);
  EXPECT_EQ(a.DistanceFactor(), 1.0f);
  EXPECT_EQ(a.MasterVolume(), 1.0f);
}

TEST(SoundManager, MuteAndPauseReachOnlyTheSourcesNotMutedOrPausedThemselves) {
  TCountingManager m(nullptr);
  m.SetActive(true);
  m.Sources()->Add();
  m.Sources()->Add()->SetMute(true);
  m.Sources()->Add()->SetPause(true);
  m.Mutes = m.Pauses = 0;

  m.SetMute(true);
  EXPECT_TRUE(m.Mute());
  EXPECT_EQ(m.Mutes, 2);  // the source muted on its own is left alone
  m.SetMute(false);
  EXPECT_FALSE(m.Mute());
  EXPECT_EQ(m.Mutes, 4);
  EXPECT_TRUE(m.Sources()->Items(1)->Mute());

  m.SetPause(true);
  EXPECT_TRUE(m.Pause());
  EXPECT_EQ(m.Pauses, 2);
  m.SetPause(false);
  EXPECT_EQ(m.Pauses, 4);
  EXPECT_TRUE(m.Sources()->Items(2)->Pause());

  m.RefuseMute = true;  // a back end that cannot mute keeps the manager unmuted
  m.SetMute(true);
  EXPECT_FALSE(m.Mute());
}

TEST(SoundManager, SourcesAppliedAtTheUpdateRate) {
  TCountingManager m(nullptr);
  m.SetActive(true);
  TGLSoundSource* s = m.Sources()->Add();
  for (double t : {0.00, 0.05, 0.11, 0.15}) m.DoProgress({0.05, t});
  EXPECT_EQ(m.Applies, 2);  // at 0.00 and 0.11
  EXPECT_DOUBLE_EQ(m.LastUpdateTime(), 0.11);
  EXPECT_TRUE(s->Changes().Empty());

  m.SetActive(false);
  m.DoProgress({1, 5});
  EXPECT_EQ(m.Applies, 2);  // inactive managers do not update
}

TEST(SoundEmitter, PlaysACopyOnTheActiveManager) {
  vMessages.clear();
  vSoundEmitterShowMessage = Collect;
  TGLBaseSceneObject obj(nullptr);
  auto* emitter = obj.Behaviours()->Add<TGLBSoundEmitter>();
  emitter->Source()->SetSoundName("MTidle");

  emitter->SetPlaying(true);  // no manager: a message and nothing else
  EXPECT_FALSE(emitter->Playing());
  ASSERT_EQ(vMessages.size(), 1u);
  EXPECT_EQ(vMessages[0], "No Active Sound Manager.\r\nMake sure manager is created before emitter");
  vSoundEmitterWarnings = false;
  emitter->SetPlaying(true);
  EXPECT_EQ(vMessages.size(), 1u);
  vSoundEmitterWarnings = true;

  TCountingManager m(nullptr);
  m.SetActive(true);
  emitter->SetPlaying(true);
  emitter->SetPlaying(true);
  ASSERT_TRUE(emitter->Playing());
  ASSERT_EQ(m.Sources()->Count(), 1);
  EXPECT_EQ(m.Sources()->Items(0)->SoundName(), "MTidle");
  EXPECT_EQ(m.Sources()->Items(0)->Origin(), &obj);

  emitter->SetPlaying(false);
  EXPECT_EQ(m.Sources()->Count(), 0);
  EXPECT_EQ(m.Releases, 1);

  // Deactivating the manager ends the emitter's playing.
  emitter->SetPlaying(true);
  m.SetActive(false);
  EXPECT_FALSE(emitter->Playing());
  vSoundEmitterShowMessage = nullptr;
}

TEST(SoundEmitter, OriginForgottenWhenFreed) {
  TCountingManager m(nullptr);
  m.SetActive(true);
  TGLSoundSource* s = m.Sources()->Add();
  {
    TGLBaseSceneObject obj(nullptr);
    s->SetOrigin(&obj);
  }
  EXPECT_EQ(s->Origin(), nullptr);
}

}  // namespace
