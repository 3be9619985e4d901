// PCM playback on the ALSA device, one worker thread per sound, and stopping all sounds.
#include "platform/SoundOut.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define TAMRIVEL_HAVE_ALSA 1
#else
#define TAMRIVEL_HAVE_ALSA 0
#endif

namespace {

struct TPlayer {
  std::thread Worker;
  std::atomic<bool> Stop{false};
  std::atomic<bool> Done{false};
};

class TSoundOut {
 public:
  ~TSoundOut() { StopAll(); }

  std::string Device() {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
  }
  void SetDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = name;
  }
  void Add(std::unique_ptr<TPlayer> player) {
    std::lock_guard<std::mutex> lock(mutex_);
    ReapLocked();
    players_.push_back(std::move(player));
  }
  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    ReapLocked();
    return static_cast<int>(players_.size());
  }
  void StopAll(bool stop = true) noexcept {
    std::list<std::unique_ptr<TPlayer>> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(players_);
    }
    for (auto& p : all) {
      if (stop) p->Stop = true;
      if (p->Worker.joinable()) p->Worker.join();
    }
  }

 private:
  // Joins the workers that have finished (they no longer block).
  void ReapLocked() {
    for (auto it = players_.begin(); it != players_.end();) {
      if ((*it)->Done) {
        if ((*it)->Worker.joinable()) (*it)->Worker.join();
        it = players_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::mutex mutex_;
  std::string device_ = "default";
  std::list<std::unique_ptr<TPlayer>> players_;
};

TSoundOut& Out() {
  static TSoundOut out;
  return out;
}

void SetError(std::string* target, const std::string& text) {
  if (target) *target = text;
}

}  // namespace

void SetSoundOutDevice(const std::string& Name) { Out().SetDevice(Name); }
std::string SoundOutDevice() { return Out().Device(); }
bool SoundOutAvailable() noexcept { return TAMRIVEL_HAVE_ALSA != 0; }
int PlayingSoundCount() { return Out().Count(); }
void StopAllSounds() noexcept { Out().StopAll(true); }
void WaitAllSounds() noexcept { Out().StopAll(false); }

#if TAMRIVEL_HAVE_ALSA

bool PlayPcm(const TPcmFormat& Format, const void* Data, std::size_t ByteCount, std::string* ErrorText) {
  snd_pcm_format_t fmt;
  switch (Format.BitsPerSample) {
    case 8: fmt = SND_PCM_FORMAT_U8; break;
    case 16: fmt = SND_PCM_FORMAT_S16_LE; break;
    case 24: fmt = SND_PCM_FORMAT_S24_3LE; break;
    case 32: fmt = SND_PCM_FORMAT_S32_LE; break;
    default:
      SetError(ErrorText, "Unsupported sample size: " + std::to_string(Format.BitsPerSample) + " bits");
      return false;
  }
  if (Format.Channels < 1 || Format.Channels > 8 || Format.Frequency < 1000 || Format.Frequency > 384000) {
    SetError(ErrorText, "Unsupported sample format");
    return false;
  }
  const std::size_t frameBytes = Format.Channels * (Format.BitsPerSample / 8);
  const std::size_t frames = ByteCount / frameBytes;

  snd_pcm_t* pcm = nullptr;
  const std::string device = Out().Device();
  int rc = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
  if (rc < 0) {
    SetError(ErrorText, "Cannot open the sound device \"" + device + "\": snd_pcm_open failed: " + snd_strerror(rc));
    return false;
  }
  rc = snd_pcm_set_params(pcm, fmt, SND_PCM_ACCESS_RW_INTERLEAVED, Format.Channels, Format.Frequency, 1, 200000);
  if (rc < 0) {
    SetError(ErrorText, "The sound device \"" + device + "\" refused " + std::to_string(Format.Frequency) + " Hz, " +
                            std::to_string(Format.Channels) + " channel(s), " + std::to_string(Format.BitsPerSample) +
                            "-bit samples: snd_pcm_set_params failed: " + snd_strerror(rc));
    snd_pcm_close(pcm);
    return false;
  }

  auto bytes = std::make_shared<std::vector<std::uint8_t>>(
      static_cast<const std::uint8_t*>(Data), static_cast<const std::uint8_t*>(Data) + frames * frameBytes);
  auto player = std::make_unique<TPlayer>();
  TPlayer* raw = player.get();
  // The worker owns the device and its copy of the samples; it writes one period at a time so
  // that a stop request is seen promptly.
  raw->Worker = std::thread([raw, pcm, bytes, frameBytes, frames]() noexcept {
    constexpr std::size_t chunk = 1024;
    std::size_t done = 0;
    while (done < frames && !raw->Stop) {
      const std::size_t n = std::min(chunk, frames - done);
      snd_pcm_sframes_t w = snd_pcm_writei(pcm, bytes->data() + done * frameBytes, n);
      if (w < 0) {
        if (snd_pcm_recover(pcm, static_cast<int>(w), 1) < 0) break;
        continue;
      }
      done += static_cast<std::size_t>(w);
    }
    if (raw->Stop)
      snd_pcm_drop(pcm);
    else
      snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    raw->Done = true;
  });
  Out().Add(std::move(player));
  return true;
}

#else

bool PlayPcm(const TPcmFormat&, const void*, std::size_t, std::string* ErrorText) {
  SetError(ErrorText, "No sound output");
  return false;
}

#endif
