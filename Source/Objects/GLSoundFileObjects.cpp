// In-memory sound files: the checked WAV parser, kept MP3 data, playback and the format registry.
#include "Source/Objects/GLSoundFileObjects.h"

#include "platform/SoundOut.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

int ClampToInt(std::int64_t v) noexcept { return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX)); }

std::uint32_t LE32(const std::uint8_t* p) noexcept {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool PlayOrExplain(const TPcmFormat& fmt, const std::uint8_t* data, int count, std::string* err) {
  return PlayPcm(fmt, data, count > 0 ? static_cast<std::size_t>(count) : 0, err);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void TGLSoundSampling::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLSoundSampling*>(Source)) {
    frequency_ = other->frequency_;
    nbChannels_ = other->nbChannels_;
    bitsPerSample_ = other->bitsPerSample_;
  } else {
    inherited::Assign(Source);
  }
}

int TGLSoundSampling::ByteRate() const noexcept {
  return ClampToInt(std::int64_t(frequency_) * bitsPerSample_ * nbChannels_ / 8);
}

TWaveFormatEx FillWaveFormat(const TGLSoundSampling& Sampling) {
  TWaveFormatEx w;
  w.wFormatTag = 1;
  w.nChannels = static_cast<std::uint16_t>(Sampling.NbChannels());
  w.nSamplesPerSec = static_cast<std::uint32_t>(Sampling.Frequency());
  w.nAvgBytesPerSec = static_cast<std::uint32_t>(Sampling.ByteRate());
  w.wBitsPerSample = static_cast<std::uint16_t>(Sampling.BitsPerSample());
  w.nBlockAlign = static_cast<std::uint16_t>(Sampling.NbChannels() * Sampling.SampleWidth());
  w.cbSize = 0;
  return w;
}

// ---------------------------------------------------------------------------------------------

TGLSoundFile::TGLSoundFile(TPersistent* AOwner)
    : TDataFile(AOwner), sampling_(std::make_unique<TGLSoundSampling>(this)) {}

TGLSoundFile::~TGLSoundFile() = default;

TGLSoundFile* TGLSoundFile::CreateCopy(TPersistent* AOwner) const {
  std::unique_ptr<TGLSoundFile> copy(static_cast<TGLSoundFile*>(CreateOfSameClass(AOwner)));
  copy->CopyDataFrom(*this);
  copy->sampling_->Assign(sampling_.get());
  copy->SetResourceName(ResourceName());
  return copy.release();
}

int TGLSoundFile::SampleCount() const {
  const std::int64_t frame = std::int64_t(sampling_->SampleWidth()) * sampling_->NbChannels();
  if (frame < 1) return 0;
  return static_cast<int>(SampleByteCount() / frame);
}

float TGLSoundFile::DurationSeconds() const {
  const int rate = sampling_->ByteRate();
  if (rate <= 0) return 0.0f;  // no integer division by zero for an empty sampling
  return static_cast<float>(double(SampleByteCount()) / double(rate));
}

void TGLSoundFile::PlayOnWaveDevice() {
  TPcmFormat fmt;
  fmt.Frequency = static_cast<unsigned>(std::max(0, sampling_->Frequency()));
  fmt.Channels = static_cast<unsigned>(std::max(0, sampling_->NbChannels()));
  fmt.BitsPerSample = static_cast<unsigned>(std::max(0, sampling_->BitsPerSample()));
  std::string err;
  // The whole sample data is played (not just its sample count in bytes).
  if (!PlayOrExplain(fmt, SampleData(), SampleByteCount(), &err)) RTL_ASSERT(false, err);
}

// ---------------------------------------------------------------------------------------------

void TGLWAVFile::LoadFromStream(TStream* Stream) {
  RTL_ASSERT(Stream != nullptr);
  const std::int64_t start = Stream->Position();
  const std::int64_t streamEnd = std::max(start, Stream->Size());

  auto readAt = [&](std::uint8_t* buf, std::int64_t n) { return Stream->Read(buf, n) == n; };

  std::uint8_t hdr[8];
  const bool haveHeader = readAt(hdr, 8);
  RTL_ASSERT(haveHeader && std::memcmp(hdr, "RIFF", 4) == 0, "RIFF required");
  // The RIFF size in 64 bits (0xFFFFFFFF is used by streamed files), limited to what is there.
  const std::int64_t total = std::min<std::int64_t>(std::int64_t(LE32(hdr + 4)) + 8, streamEnd - start);
  std::uint8_t wave[4];
  const bool haveWave = readAt(wave, 4);
  RTL_ASSERT(haveWave && std::memcmp(wave, "WAVE", 4) == 0, "RIFF-WAVE required");
  if (total > INT_MAX) throw EReadError("Stream read error");

  const std::int64_t end = start + total;
  TWaveFormatEx fmt;
  std::uint32_t encoding = 0;
  std::int64_t offset = 0;
  std::int64_t dataSize = 0;  // no data chunk, no samples
  std::int64_t pos = start + 12;
  // Walk the chunks while a whole chunk header lies inside the file.
  while (end - pos >= 8) {
    if (!readAt(hdr, 8)) break;
    pos += 8;
    const std::int64_t size = LE32(hdr + 4);
    std::int64_t skip = size;
    if (std::memcmp(hdr, "fmt ", 4) == 0) {
      if (fmt.wFormatTag == 0) {
        const std::int64_t n = std::min<std::int64_t>({size, 18, end - pos});
        TWaveFormatEx rec;
        if (Stream->Read(&rec, n) != n) break;
        std::memset(reinterpret_cast<std::uint8_t*>(&rec) + n, 0, static_cast<std::size_t>(18 - n));
        fmt = rec;
        pos += n;
        skip = size - n;
        encoding = fmt.wFormatTag;
        // The extensible record names the encoding in the first field of its sub-format: after
        // the valid bits (2 bytes) and the channel mask (4 bytes).
        if (fmt.wFormatTag == kWaveFormatExtensible && n == 18 && skip >= 10 && end - pos >= 10) {
          std::uint8_t ext[10];
          if (!readAt(ext, 10)) break;
          pos += 10;
          skip -= 10;
          encoding = LE32(ext + 6);
        }
      }
    } else if (std::memcmp(hdr, "fact", 4) == 0) {
      if (fmt.wFormatTag == 2 && size >= 4 && end - pos >= 4) {
        std::uint8_t fact[4];
        if (!readAt(fact, 4)) break;
        pos += 4;
        skip = size - 4;
      }
    } else if (std::memcmp(hdr, "data", 4) == 0) {
      // The samples are the chunk's bytes, not what follows it (sound editors append chunks).
      offset = pos - start;
      dataSize = std::min(size, end - pos);
      break;
    }
    skip += size & 1;  // chunks are padded to an even length
    if (skip > end - pos) break;
    pos += skip;
    Stream->Seek(pos, soBeginning);
  }

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(total));
  Stream->Seek(start, soBeginning);
  ValueEncoding::ReadExact(*Stream, bytes.data(), total);

  waveFormat_ = fmt;
  encoding_ = encoding;
  dataOffset_ = static_cast<int>(offset);
  dataSize_ = static_cast<int>(dataSize);
  data_ = std::move(bytes);
  Sampling()->SetFrequency(ClampToInt(fmt.nSamplesPerSec));
  Sampling()->SetNbChannels(fmt.nChannels);
  Sampling()->SetBitsPerSample(fmt.wBitsPerSample);
}

void TGLWAVFile::SaveToStream(TStream* Stream) {
  if (!data_.empty()) Stream->WriteBuffer(data_.data(), static_cast<std::int64_t>(data_.size()));
}

const std::uint8_t* TGLWAVFile::FileBytes() const { return data_.empty() ? nullptr : data_.data(); }

const std::uint8_t* TGLWAVFile::SampleData() const { return dataSize_ > 0 ? data_.data() + dataOffset_ : nullptr; }

int TGLWAVFile::SampleByteCount() const { return dataSize_; }

std::string TGLWAVFile::UnplayableReason() const {
  if (encoding_ == kWaveFormatPcm) return {};
  return "WAV sample encoding " + std::to_string(encoding_) + " cannot be played: only PCM samples are";
}

void TGLWAVFile::PlayOnWaveDevice() {
  const std::string reason = UnplayableReason();
  RTL_ASSERT(dataSize_ == 0 || reason.empty(), reason);
  inherited::PlayOnWaveDevice();
}

bool TGLWAVFile::PlayFromMemory(std::string* ErrorText) {
  if (dataSize_ == 0) {
    if (ErrorText) *ErrorText = "WAV file holds no samples";
    return false;
  }
  if (std::string reason = UnplayableReason(); !reason.empty()) {
    if (ErrorText) *ErrorText = std::move(reason);
    return false;
  }
  TPcmFormat fmt{waveFormat_.nSamplesPerSec, waveFormat_.nChannels, waveFormat_.wBitsPerSample};
  return PlayOrExplain(fmt, SampleData(), SampleByteCount(), ErrorText);
}

void TGLWAVFile::CopyDataFrom(const TGLSoundFile& Source) {
  const auto& src = static_cast<const TGLWAVFile&>(Source);
  waveFormat_ = src.waveFormat_;
  encoding_ = src.encoding_;
  dataOffset_ = src.dataOffset_;
  dataSize_ = src.dataSize_;
  data_ = src.data_;
}

// ---------------------------------------------------------------------------------------------

void TGLMP3File::LoadFromStream(TStream* Stream) {
  RTL_ASSERT(Stream != nullptr);
  const std::int64_t n = std::max<std::int64_t>(0, Stream->Size() - Stream->Position());
  if (n > INT_MAX) throw EReadError("Stream read error");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
  ValueEncoding::ReadExact(*Stream, bytes.data(), n);
  data_ = std::move(bytes);
}

void TGLMP3File::SaveToStream(TStream* Stream) {
  if (!data_.empty()) Stream->WriteBuffer(data_.data(), static_cast<std::int64_t>(data_.size()));
}

const std::uint8_t* TGLMP3File::FileBytes() const { return data_.empty() ? nullptr : data_.data(); }

void TGLMP3File::PlayOnWaveDevice() { RTL_ASSERT(false, "MP3 playback on WaveOut not supported."); }

void TGLMP3File::CopyDataFrom(const TGLSoundFile& Source) { data_ = static_cast<const TGLMP3File&>(Source).data_; }

// ---------------------------------------------------------------------------------------------

void TGLSoundFileFormatsList::Add(const std::string& Ext, const std::string& Desc, int DescID,
                                  TGLSoundFileClass AClass) {
  formats_.push_back({AClass, LowerCase(Ext), Desc, DescID});
}

TGLSoundFileFormatsList& SoundFileFormats() {
  static TGLSoundFileFormatsList list;
  return list;
}

void RegisterSoundFormat(const std::string& AExtension, const std::string& ADescription, TGLSoundFileClass AClass) {
  RegisterClass(AClass);
  SoundFileFormats().Add(AExtension, ADescription, 0, AClass);
}

void RegisterGLSoundFileObjectsClasses() {
  TGLSoundFileFormatsList& list = SoundFileFormats();
  for (int i = 0; i < list.Count(); ++i)
    if (list.Items(i).SoundFileClass == TGLWAVFile::StaticClass()) return;
  RegisterSoundFormat("wav", "Windows WAV files", TGLWAVFile::StaticClass());
  RegisterSoundFormat("mp3", "MPEG Layer3 files", TGLMP3File::StaticClass());
}
