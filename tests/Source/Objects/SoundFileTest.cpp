// Tests of sound files: WAV headers and chunk walk, malformed input, MP3 data, copies, the format
// registry, and PCM playback.
#include "Source/Objects/GLSoundFileObjects.h"

#include "platform/SoundOut.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}
void Put16(std::string& s, std::uint16_t v) {
  s.push_back(char(v));
  s.push_back(char(v >> 8));
}
std::string Chunk(const char* id, const std::string& body) {
  std::string s(id, 4);
  Put32(s, static_cast<std::uint32_t>(body.size()));
  return s + body;
}
std::string Fmt(std::uint16_t tag, std::uint16_t ch, std::uint32_t rate, std::uint16_t bits) {
  std::string b;
  Put16(b, tag);
  Put16(b, ch);
  Put32(b, rate);
  Put32(b, rate * ch * bits / 8);
  Put16(b, std::uint16_t(ch * bits / 8));
  Put16(b, bits);
  return Chunk("fmt ", b);
}
// A 40-byte extensible format chunk, stereo 48 kHz, whose sub-format names Encoding.
std::string Extensible(std::uint32_t Encoding, std::uint16_t bits) {
  std::string b;
  Put16(b, 0xFFFE);
  Put16(b, 2);
  Put32(b, 48000);
  Put32(b, 48000u * 2 * bits / 8);
  Put16(b, std::uint16_t(2 * bits / 8));
  Put16(b, bits);
  Put16(b, 22);    // extra size
  Put16(b, bits);  // valid bits
  Put32(b, 3);     // channel mask: front left and right
  Put32(b, Encoding);
  b += std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  return Chunk("fmt ", b);
}
std::string Riff(const std::string& chunks) {
  std::string s = "RIFF";
  Put32(s, static_cast<std::uint32_t>(chunks.size() + 4));
  return s + "WAVE" + chunks;
}
std::unique_ptr<TGLWAVFile> LoadWav(const std::string& bytes, std::int64_t at = 0) {
  TStringStream s(bytes);
  s.SetPosition(at);
  auto wav = std::make_unique<TGLWAVFile>(nullptr);
  wav->LoadFromStream(&s);
  return wav;
}

TEST(SoundFileWav, CanonicalHeaderAndDerivedFigures) {
  auto wav = LoadWav(Riff(Fmt(1, 1, 22050, 8) + Chunk("data", std::string(1000, '\x80'))));
  EXPECT_EQ(wav->DataOffset(), 44);
  EXPECT_EQ(wav->FileByteCount(), 1044);
  EXPECT_EQ(wav->SampleByteCount(), 1000);
  EXPECT_EQ(wav->SampleCount(), 1000);
  EXPECT_NEAR(wav->DurationSeconds(), 0.045351f, 1e-5);
  EXPECT_EQ(wav->Sampling()->Frequency(), 22050);
  EXPECT_EQ(wav->Sampling()->NbChannels(), 1);
  EXPECT_EQ(wav->Sampling()->BitsPerSample(), 8);
  EXPECT_EQ(wav->SampleData()[0], 0x80);

  // Saving gives back the file unchanged.
  TStringStream out("");
  wav->SaveToStream(&out);
  EXPECT_EQ(out.DataString().size(), 1044u);

  auto stereo = LoadWav(Riff(Fmt(1, 2, 44100, 16) + Chunk("data", std::string(176400, 0))));
  EXPECT_EQ(stereo->Sampling()->ByteRate(), 176400);
  EXPECT_EQ(stereo->SampleCount(), 44100);
  EXPECT_FLOAT_EQ(stereo->DurationSeconds(), 1.0f);
}

TEST(SoundFileWav, ChunkWalk) {
  // A chunk before "fmt ", an odd-sized chunk with its pad byte, and a WAV inside a larger stream.
  std::string list = Chunk("LIST", "abc") + std::string(1, '\0');
  std::string file = Riff(list + Fmt(1, 1, 8000, 8) + Chunk("data", "xyz"));
  auto wav = LoadWav("prefix" + file + "trailing", 6);
  EXPECT_EQ(wav->DataOffset(), static_cast<int>(file.size()) - 3);
  EXPECT_EQ(wav->SampleByteCount(), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(wav->SampleData()), 3), "xyz");
  EXPECT_EQ(wav->FileByteCount(), static_cast<int>(file.size()));  // the trailer is not kept

  // Chunks that end exactly at byte 2048 still lead to the data chunk that starts there.
  std::string filler = Chunk("junk", std::string(2048 - 12 - 24 - 8, 'j'));
  std::string at2048 = Riff(Fmt(1, 1, 8000, 8) + filler + Chunk("data", "d"));
  ASSERT_EQ(at2048.find("data"), 2048u);
  EXPECT_EQ(LoadWav(at2048)->DataOffset(), 2056);

  // "fact" is read for format tag 2 only; a short fact chunk never seeks backwards.
  std::string fact = Chunk("fact", "\x01\x02");
  EXPECT_EQ(LoadWav(Riff(Fmt(2, 1, 8000, 4) + fact + Chunk("data", "q")))->SampleByteCount(), 1);
}

TEST(SoundFileWav, SamplesAreTheDataChunkNotWhatFollowsIt) {
  // One second of 16-bit stereo, then a 2,008-byte LIST chunk as sound editors append.
  const std::string list = Chunk("LIST", std::string(2000, 'L'));
  ASSERT_EQ(list.size(), 2008u);
  auto wav = LoadWav(Riff(Fmt(1, 2, 44100, 16) + Chunk("data", std::string(176400, 0)) + list));
  EXPECT_EQ(wav->FileByteCount(), 44 + 176400 + 2008);
  EXPECT_EQ(wav->SampleByteCount(), 176400);
  EXPECT_EQ(wav->SampleCount(), 44100);
  EXPECT_FLOAT_EQ(wav->DurationSeconds(), 1.0f);
  // The copy counts the same samples; the saved file keeps the LIST chunk.
  std::unique_ptr<TGLSoundFile> copy(wav->CreateCopy(nullptr));
  EXPECT_EQ(copy->SampleByteCount(), 176400);
  TStringStream out("");
  wav->SaveToStream(&out);
  EXPECT_EQ(out.DataString().size(), 44u + 176400u + 2008u);
}

TEST(SoundFileWav, MalformedInputIsRefusedOrBounded) {
  auto expectAssert = [](const std::string& bytes, const char* text) {
    try {
      LoadWav(bytes);
      ADD_FAILURE() << "no error for " << text;
    } catch (const EAssertionFailed& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  };
  expectAssert("RIFX\x10\0\0\0WAVE", "RIFF required");
  expectAssert("RIF", "RIFF required");
  expectAssert(std::string("RIFF\x10\0\0\0AVI ", 12), "RIFF-WAVE required");

  // No data chunk: no samples (the header and the other chunks are not played as sound).
  auto noData = LoadWav(Riff(Fmt(1, 1, 8000, 8) + Chunk("LIST", std::string(100, 'i'))));
  EXPECT_EQ(noData->FileByteCount(), 144);
  EXPECT_EQ(noData->DataOffset(), 0);
  EXPECT_EQ(noData->SampleByteCount(), 0);
  EXPECT_EQ(noData->SampleCount(), 0);
  EXPECT_EQ(noData->SampleData(), nullptr);
  EXPECT_EQ(noData->DurationSeconds(), 0.0f);

  // A RIFF size far beyond the bytes present keeps what is there.
  std::string huge = Riff(Fmt(1, 1, 8000, 8) + Chunk("data", "abcd"));
  huge[4] = huge[5] = huge[6] = huge[7] = '\xFF';
  auto h = LoadWav(huge);
  EXPECT_EQ(h->FileByteCount(), static_cast<int>(huge.size()));
  EXPECT_EQ(h->SampleByteCount(), 4);

  // A chunk claiming more bytes than exist stops the walk.
  std::string over = Riff(Fmt(1, 1, 8000, 8)) + "LIST\xF0\xFF\xFF\x7F" + "data";
  EXPECT_EQ(LoadWav(over)->DataOffset(), 0);
  EXPECT_EQ(LoadWav(over)->SampleByteCount(), 0);

  // A data chunk claiming more than the file holds: the samples are the bytes present.
  std::string cut = Riff(Fmt(1, 2, 8000, 16) + Chunk("data", std::string(400, 's')));
  cut.resize(cut.size() - 100);
  auto c = LoadWav(cut);
  EXPECT_EQ(c->SampleByteCount(), 300);
  EXPECT_EQ(c->SampleCount(), 75);

  // A failed load leaves the object as it was.
  auto keep = LoadWav(Riff(Fmt(1, 1, 8000, 8) + Chunk("data", "zz")));
  TStringStream bad("RIFXjunk");
  EXPECT_THROW(keep->LoadFromStream(&bad), EAssertionFailed);
  EXPECT_EQ(keep->SampleByteCount(), 2);

  // A zero sampling has no duration and no samples instead of dividing by zero.
  TGLWAVFile empty(nullptr);
  empty.Sampling()->SetBitsPerSample(0);
  EXPECT_EQ(empty.DurationSeconds(), 0.0f);
  EXPECT_EQ(empty.SampleCount(), 0);
}

TEST(SoundFileMp3, KeepsBytesAndRefusesPlayback) {
  std::string bytes = "ID3\x03junk";
  bytes += std::string(300, '\xAB');
  TStringStream in(bytes);
  TGLMP3File mp3(nullptr);
  mp3.LoadFromStream(&in);
  EXPECT_EQ(mp3.FileByteCount(), static_cast<int>(bytes.size()));
  EXPECT_EQ(mp3.SampleData(), nullptr);
  EXPECT_EQ(mp3.SampleByteCount(), 0);
  TStringStream out("");
  mp3.SaveToStream(&out);
  EXPECT_EQ(out.DataString(), bytes);
  try {
    mp3.PlayOnWaveDevice();
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("MP3 playback on WaveOut not supported."), std::string::npos);
  }
}

TEST(SoundFileCopies, CopyKeepsClassDataAndSampling) {
  auto wav = LoadWav(Riff(Fmt(1, 2, 44100, 16) + Chunk("data", std::string(8, 1))));
  std::unique_ptr<TGLSoundFile> copy(wav->CreateCopy(nullptr));
  EXPECT_EQ(copy->ClassName(), "TGLWAVFile");
  EXPECT_EQ(copy->SampleByteCount(), 8);
  EXPECT_EQ(copy->Sampling()->NbChannels(), 2);
  EXPECT_EQ(static_cast<TGLWAVFile*>(copy.get())->WaveFormat().nSamplesPerSec, 44100u);
  EXPECT_NE(copy->FileBytes(), wav->FileBytes());

  TGLSoundSampling s(nullptr);
  s.SetNbChannels(2);
  s.SetBitsPerSample(16);
  s.SetFrequency(44100);
  TWaveFormatEx w = FillWaveFormat(s);
  EXPECT_EQ(w.wFormatTag, 1);
  EXPECT_EQ(w.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(w.nBlockAlign, 4);
}

TEST(SoundFileFormats, RegistryEntriesAndClassLookup) {
  RegisterGLSoundFileObjectsClasses();
  RegisterGLSoundFileObjectsClasses();
  TGLSoundFileFormatsList& list = SoundFileFormats();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).Extension, "wav");
  EXPECT_EQ(list.Items(0).Description, "Windows WAV files");
  EXPECT_EQ(list.Items(1).Extension, "mp3");
  EXPECT_EQ(list.Items(1).Description, "MPEG Layer3 files");
  EXPECT_EQ(FindClass("TGLMP3File"), TGLMP3File::StaticClass());
  EXPECT_EQ(FindClass("TGLWAVFile"), TGLWAVFile::StaticClass());
}

TEST(SoundFilePlayback, PcmPlaysOnTheOutputAndOddFormatsFail) {
  if (!SoundOutAvailable()) GTEST_SKIP() << "built without sound output";
  const std::string saved = SoundOutDevice();
  SetSoundOutDevice("null");
  auto wav = LoadWav(Riff(Fmt(1, 1, 22050, 8) + Chunk("data", std::string(100, '\x80'))));
  EXPECT_NO_THROW(wav->PlayOnWaveDevice());
  EXPECT_TRUE(wav->PlayFromMemory());
  auto adpcm = LoadWav(Riff(Fmt(2, 1, 8000, 4) + Chunk("data", "ab")));
  EXPECT_FALSE(adpcm->PlayFromMemory());
  EXPECT_THROW(adpcm->PlayOnWaveDevice(), EAssertionFailed);  // 4-bit samples

  // Extensible records: PCM samples play, floating-point ones are refused with the reason.
  auto pcm24 = LoadWav(Riff(Extensible(1, 24) + Chunk("data", std::string(60, 0))));
  EXPECT_EQ(pcm24->SampleEncoding(), 1u);
  std::string why;
  EXPECT_TRUE(pcm24->PlayFromMemory(&why)) << why;
  EXPECT_NO_THROW(pcm24->PlayOnWaveDevice());
  auto float32 = LoadWav(Riff(Extensible(3, 32) + Chunk("data", std::string(80, 0))));
  EXPECT_EQ(float32->SampleEncoding(), 3u);
  EXPECT_FALSE(float32->PlayFromMemory(&why));
  EXPECT_EQ(why, "WAV sample encoding 3 cannot be played: only PCM samples are");
  try {
    float32->PlayOnWaveDevice();
    ADD_FAILURE() << "played";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
  }
  auto silent = LoadWav(Riff(Fmt(1, 1, 8000, 8)));
  EXPECT_FALSE(silent->PlayFromMemory(&why));
  EXPECT_EQ(why, "WAV file holds no samples");

  // Without the sound device, both ways of playing name it and what failed.
  SetSoundOutDevice("no_such_device_here");
  const std::string opening = "Cannot open the sound device \"no_such_device_here\": snd_pcm_open failed: ";
  EXPECT_FALSE(wav->PlayFromMemory(&why));
  EXPECT_EQ(why.substr(0, opening.size()), opening) << why;
  try {
    wav->PlayOnWaveDevice();
    ADD_FAILURE() << "played";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message().substr(0, opening.size()), opening) << e.Message();
  }
  StopAllSounds();
  SetSoundOutDevice(saved);
}

}  // namespace
