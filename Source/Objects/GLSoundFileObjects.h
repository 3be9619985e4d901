// Sound data held in memory as the bytes of a sound file, with its sampling description, and the
// registry of sound file formats by extension.
//
// WAV files are parsed defensively: every chunk length is checked against the bytes present, so
// truncated or hostile files load without reading past their end. MP3 data is only kept (there
// is no decoder). Playback goes through the platform sound output, on a copy of the samples.
#pragma once

#include "Source/Base/ApplicationFileIO.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Frequency, channel count and sample size of a sound.
class TGLSoundSampling : public TPersistent {
  RTL_CLASS(TGLSoundSampling, TPersistent)
 public:
  using OwnerType = TPersistent;
  explicit TGLSoundSampling(TPersistent* AOwner) : owner_(AOwner) {}

  TPersistent* GetOwner() override { return owner_; }
  void Assign(TPersistent* Source) override;

  int Frequency() const noexcept { return frequency_; }
  void SetFrequency(int Value) noexcept { frequency_ = Value; }
  int NbChannels() const noexcept { return nbChannels_; }
  void SetNbChannels(int Value) noexcept { nbChannels_ = Value; }
  int BitsPerSample() const noexcept { return bitsPerSample_; }
  void SetBitsPerSample(int Value) noexcept { bitsPerSample_ = Value; }

  // Bytes per second (integer division by 8).
  int ByteRate() const noexcept;
  // Bytes per sample of one channel.
  int SampleWidth() const noexcept { return bitsPerSample_ / 8; }

 private:
  TPersistent* owner_;
  int frequency_ = 22050;
  int nbChannels_ = 1;
  int bitsPerSample_ = 8;
};

// The wave format record, 18 bytes in file order.
#pragma pack(push, 1)
struct TWaveFormatEx {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatEx) == 18);

// A PCM wave format record for the sampling. Block align is the frame size and the extra size 0,
// so that the record describes the data as it is.
TWaveFormatEx FillWaveFormat(const TGLSoundSampling& Sampling);

// Abstract sound data.
class TGLSoundFile : public TDataFile {
  RTL_CLASS(TGLSoundFile, TDataFile)
 public:
  explicit TGLSoundFile(TPersistent* AOwner);
  ~TGLSoundFile() override;

  TGLSoundSampling* Sampling() const noexcept { return sampling_.get(); }
  void SetSampling(TGLSoundSampling* Value) { sampling_->Assign(Value); }

  // The whole stored file (nullptr when empty) and its size.
  virtual const std::uint8_t* FileBytes() const = 0;
  virtual int FileByteCount() const = 0;
  // The sample data (nullptr when none) and its size.
  virtual const std::uint8_t* SampleData() const = 0;
  virtual int SampleByteCount() const = 0;

  // A new object of the same class, owned by AOwner, holding a copy of this one's data and
  // sampling.
  virtual TGLSoundFile* CreateCopy(TPersistent* AOwner) const;

  int SampleCount() const;
  float DurationSeconds() const;
  // Plays the sample data as PCM on the sound output; a failure is an assertion failure with
  // the output's message.
  virtual void PlayOnWaveDevice();

 protected:
  // Copies the data of another object of the same class (used by CreateCopy).
  virtual void CopyDataFrom(const TGLSoundFile& Source) = 0;

 private:
  std::unique_ptr<TGLSoundSampling> sampling_;
};

class TGLWAVFile : public TGLSoundFile {
  RTL_CLASS(TGLWAVFile, TGLSoundFile)
 public:
  using TGLSoundFile::TGLSoundFile;

  TDataFileCapabilities Capabilities() const override { return {dfcRead, dfcWrite}; }
  // Reads a RIFF-WAVE file from the stream position: "RIFF required" and "RIFF-WAVE required"
  // are assertion failures. The bytes kept are the RIFF file as far as it is present; the
  // samples are the bytes of its "data" chunk that are present (none without that chunk).
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;

  const std::uint8_t* FileBytes() const override;
  int FileByteCount() const override { return static_cast<int>(data_.size()); }
  const std::uint8_t* SampleData() const override;
  int SampleByteCount() const override;

  const TWaveFormatEx& WaveFormat() const noexcept { return waveFormat_; }
  // The sample encoding: the format tag, or for an extensible record the one its sub-format
  // names (1 = PCM, the only one played).
  std::uint32_t SampleEncoding() const noexcept { return encoding_; }
  int DataOffset() const noexcept { return dataOffset_; }
  // Samples in an encoding other than PCM are an assertion failure that says so.
  void PlayOnWaveDevice() override;
  // Plays the samples asynchronously; false with the reason in ErrorText when there are none,
  // they are not PCM or the output refuses them.
  bool PlayFromMemory(std::string* ErrorText = nullptr);

 protected:
  void CopyDataFrom(const TGLSoundFile& Source) override;

 private:
  static constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;
  static constexpr std::uint32_t kWaveFormatPcm = 1;
  // Empty when the samples can be played as PCM.
  std::string UnplayableReason() const;

  TWaveFormatEx waveFormat_;
  std::uint32_t encoding_ = 0;
  int dataOffset_ = 0;
  int dataSize_ = 0;
  std::vector<std::uint8_t> data_;
};

class TGLMP3File : public TGLSoundFile {
  RTL_CLASS(TGLMP3File, TGLSoundFile)
 public:
  using TGLSoundFile::TGLSoundFile;

  TDataFileCapabilities Capabilities() const override { return {dfcRead, dfcWrite}; }
  // Keeps the rest of the stream.
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;

  const std::uint8_t* FileBytes() const override;
  int FileByteCount() const override { return static_cast<int>(data_.size()); }
  const std::uint8_t* SampleData() const override { return nullptr; }
  int SampleByteCount() const override { return 0; }
  // Always an assertion failure "MP3 playback on WaveOut not supported.".
  void PlayOnWaveDevice() override;

 protected:
  void CopyDataFrom(const TGLSoundFile& Source) override;

 private:
  std::vector<std::uint8_t> data_;
};

using TGLSoundFileClass = TClass;

struct TGLSoundFileFormat {
  TGLSoundFileClass SoundFileClass = nullptr;
  std::string Extension;  // lower case
  std::string Description;
  int DescResID = 0;
};

class TGLSoundFileFormatsList : public TObject {
  RTL_CLASS(TGLSoundFileFormatsList, TObject)
 public:
  void Add(const std::string& Ext, const std::string& Desc, int DescID, TGLSoundFileClass AClass);
  int Count() const noexcept { return static_cast<int>(formats_.size()); }
  const TGLSoundFileFormat& Items(int Index) const { return formats_.at(static_cast<std::size_t>(Index)); }

 private:
  std::vector<TGLSoundFileFormat> formats_;
};

// The process-wide list (created on first use).
TGLSoundFileFormatsList& SoundFileFormats();
// Registers the class by name for streaming and adds an entry with the extension in lower case.
void RegisterSoundFormat(const std::string& AExtension, const std::string& ADescription, TGLSoundFileClass AClass);
// Registers "wav" and "mp3" (once).
void RegisterGLSoundFileObjectsClasses();
