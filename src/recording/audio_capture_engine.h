#pragma once

#include <memory>
#include <mutex>

#include "core/error.h"
#include "platform/audio_input.h"
#include "recording/media_types.h"

namespace tolvo {

class AudioCaptureEngine;

// Receives the raw microphone buffers of an AudioCaptureEngine.
class AudioCaptureEngineDelegate {
 public:
  virtual ~AudioCaptureEngineDelegate() = default;
  // Called on the engine's capture thread, never for two buffers at once. `buffer` is valid
  // for the duration of the call only. Must not call stop() or start() of the same engine.
  virtual void audioCaptureEngine(AudioCaptureEngine& engine, const PcmBuffer& buffer) = 0;
};

class AudioCaptureError : public Error {
 public:
  enum class Code {
    noMicrophone,      // "No microphone available"
    inputFailed,       // "Failed to add audio input"
    outputFailed,      // "Failed to add audio output"
    permissionDenied,  // "Microphone permission denied"
  };

  explicit AudioCaptureError(Code code);
  [[nodiscard]] Code code() const noexcept { return code_; }

 private:
  Code code_;
};

// Captures the default microphone: 44100 Hz stereo float PCM in buffers of 1024 frames,
// each stamped with the MediaClock time of its first frame, handed to the delegate on the
// capture thread ("tolvo-audio"). All operations are thread-safe.
class AudioCaptureEngine {
 public:
  static constexpr std::uint32_t kSampleRate = 44100;
  static constexpr std::uint32_t kChannels = 2;
  static constexpr std::uint32_t kFramesPerBuffer = 1024;

  // Captures from the PulseAudio server, as application "TolvoDesk".
  AudioCaptureEngine();
  // Captures through `factory` (another platform's input).
  explicit AudioCaptureEngine(AudioInputFactory factory);
  AudioCaptureEngine(const AudioCaptureEngine&) = delete;
  AudioCaptureEngine& operator=(const AudioCaptureEngine&) = delete;
  // Stops a running capture first.
  ~AudioCaptureEngine();

  void setDelegate(std::weak_ptr<AudioCaptureEngineDelegate> delegate);

  // Opens a new capture session and, once it runs, replaces the current one (if any) with it.
  // Throws AudioCaptureError (noMicrophone: no sound server or no source; inputFailed: the
  // server refused the capture stream; outputFailed: the capture thread could not be set
  // up); a failed start leaves the current session as it was. Never raises permissionDenied.
  void start();

  // Ends the session if one runs; when it returns, no buffer is being delivered or will be.
  void stop();

  // True while a session exists and its source still delivers.
  [[nodiscard]] bool isRunning() const;

 private:
  void deliver(const float* samples, std::size_t frames, MediaTime captureTime);

  AudioInputFactory factory_;
  mutable std::mutex sessionMutex_;  // guards session_; held across opening and closing one
  std::unique_ptr<AudioInput> session_;
  // Held while the delegate runs, so that buffers of an outgoing and an incoming session
  // never reach it at the same time.
  std::mutex deliveryMutex_;
  std::mutex delegateMutex_;  // guards delegate_
  std::weak_ptr<AudioCaptureEngineDelegate> delegate_;
};

}  // namespace tolvo
