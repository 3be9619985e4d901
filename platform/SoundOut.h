// Sound output: plays blocks of PCM samples on the ALSA device asynchronously.
//
// Each play call copies the samples and hands them to a worker thread of its own, so the caller
// may free its buffer at once. Finished workers are reaped by the next call; StopAllSounds asks
// every worker to stop between periods and waits for them (also done at program end).
// Errors (no device, format refused) are returned as text and never thrown across the worker.
//
// The device name is "default" unless changed; tests use "null", which accepts and discards.
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TPcmFormat {
  unsigned Frequency = 22050;  // frames per second
  unsigned Channels = 1;
  unsigned BitsPerSample = 8;  // 8 (unsigned), 16, 24 or 32 (signed little-endian)
};

// The ALSA device name used by the next play call.
void SetSoundOutDevice(const std::string& Name);
std::string SoundOutDevice();

// Whether the program was built with a sound output back end.
bool SoundOutAvailable() noexcept;

// Opens the device, then plays the samples on a worker. A byte count that is not a whole number
// of frames is cut to the last whole frame. Returns false with a message when the format is
// refused or the device cannot be opened; the message then names the device, the call that
// failed and the device's own text ('Cannot open the sound device "default": snd_pcm_open
// failed: No such file or directory').
bool PlayPcm(const TPcmFormat& Format, const void* Data, std::size_t ByteCount, std::string* ErrorText = nullptr);

// Number of sounds still playing.
int PlayingSoundCount();
// Stops every playing sound and waits for its worker.
void StopAllSounds() noexcept;
// Waits until every sound has played to its end.
void WaitAllSounds() noexcept;
