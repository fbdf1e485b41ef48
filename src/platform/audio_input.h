#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/error.h"

namespace tolvo {

// The PCM the caller wants: interleaved 32-bit float frames of `channels` samples at
// `sampleRate`, delivered in blocks of exactly `framesPerBlock` frames. The sound server
// converts whatever the device produces to this format.
struct AudioInputFormat {
  std::uint32_t sampleRate = 44100;
  std::uint32_t channels = 2;
  std::uint32_t framesPerBlock = 1024;
};

// Receives one block: `frames` interleaved frames at `samples` (valid during the call only),
// the first of them captured at `captureTime` on the steady clock.
using AudioBlockHandler =
    std::function<void(const float* samples, std::size_t frames, std::chrono::steady_clock::time_point captureTime)>;

// Why an audio input could not be opened.
class AudioInputError : public Error {
 public:
  enum class Reason {
    noSource,      // no sound server to connect to, or it has no default source
    streamFailed,  // the server refused or broke off the capture stream
    threadFailed,  // the capture thread or its event loop could not be set up
  };

  AudioInputError(Reason reason, std::string detail)
      : Error(reason == Reason::noSource       ? "No audio source"
              : reason == Reason::streamFailed ? "Audio stream failed"
                                               : "Audio capture thread failed"),
        reason_(reason),
        detail_(std::move(detail)) {}

  [[nodiscard]] Reason reason() const noexcept { return reason_; }
  // The sound server's own words on the failure, for diagnostics.
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

 private:
  Reason reason_;
  std::string detail_;
};

// One running capture of the default audio source. Blocks reach the handler on the input's
// own capture thread, one at a time, in capture order. Destroying the input stops the capture
// and returns once no handler call runs any more and none will follow.
// REQUIRES: the input is not destroyed from within its own handler.
class AudioInput {
 public:
  AudioInput() = default;
  AudioInput(const AudioInput&) = delete;
  AudioInput& operator=(const AudioInput&) = delete;
  virtual ~AudioInput() = default;

  // False once the source went away or the server broke off the stream; no block follows.
  [[nodiscard]] virtual bool running() const noexcept = 0;
};

// Opens a capture of the default source with `format`, delivering to `handler`; returns once
// the capture runs. Throws AudioInputError.
using AudioInputFactory =
    std::function<std::unique_ptr<AudioInput>(const AudioInputFormat& format, AudioBlockHandler handler)>;

}  // namespace tolvo
