#include "recording/audio_capture_engine.h"

#include <utility>

#include "platform/linux/pulse_audio_input.h"

namespace tolvo {
namespace {

constexpr const char* kApplicationName = "TolvoDesk";

const char* describe(AudioCaptureError::Code code) {
  switch (code) {
    case AudioCaptureError::Code::noMicrophone:
      return "No microphone available";
    case AudioCaptureError::Code::inputFailed:
      return "Failed to add audio input";
    case AudioCaptureError::Code::outputFailed:
      return "Failed to add audio output";
    case AudioCaptureError::Code::permissionDenied:
      return "Microphone permission denied";
  }
  return "Failed to add audio input";
}

}  // namespace

AudioCaptureError::AudioCaptureError(Code code) : Error(describe(code)), code_(code) {}

AudioCaptureEngine::AudioCaptureEngine()
    : AudioCaptureEngine([](const AudioInputFormat& format, AudioBlockHandler handler) {
        return openPulseAudioInput(kApplicationName, format, std::move(handler));
      }) {}

AudioCaptureEngine::AudioCaptureEngine(AudioInputFactory factory) : factory_(std::move(factory)) {}

AudioCaptureEngine::~AudioCaptureEngine() { stop(); }

void AudioCaptureEngine::setDelegate(std::weak_ptr<AudioCaptureEngineDelegate> delegate) {
  const std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

void AudioCaptureEngine::start() {
  const std::lock_guard lock(sessionMutex_);
  std::unique_ptr<AudioInput> session;
  try {
    session = factory_(AudioInputFormat{kSampleRate, kChannels, kFramesPerBuffer},
                       [this](const float* samples, std::size_t frames, MediaTime captureTime) {
                         deliver(samples, frames, captureTime);
                       });
  } catch (const AudioInputError& error) {
    switch (error.reason()) {
      case AudioInputError::Reason::noSource:
        throw AudioCaptureError(AudioCaptureError::Code::noMicrophone);
      case AudioInputError::Reason::streamFailed:
        throw AudioCaptureError(AudioCaptureError::Code::inputFailed);
      case AudioInputError::Reason::threadFailed:
        throw AudioCaptureError(AudioCaptureError::Code::outputFailed);
    }
    throw AudioCaptureError(AudioCaptureError::Code::inputFailed);
  }
  std::swap(session_, session);
  // `session` now holds the previous session, which stops as it goes out of scope.
}

void AudioCaptureEngine::stop() {
  const std::lock_guard lock(sessionMutex_);
  session_.reset();
}

bool AudioCaptureEngine::isRunning() const {
  const std::lock_guard lock(sessionMutex_);
  return session_ && session_->running();
}

void AudioCaptureEngine::deliver(const float* samples, std::size_t frames, MediaTime captureTime) {
  PcmBuffer buffer;
  buffer.sampleRate = kSampleRate;
  buffer.channels = kChannels;
  buffer.samples.assign(samples, samples + frames * kChannels);
  buffer.captureTime = captureTime;
  std::shared_ptr<AudioCaptureEngineDelegate> delegate;
  {
    const std::lock_guard lock(delegateMutex_);
    delegate = delegate_.lock();
  }
  if (!delegate) return;
  const std::lock_guard lock(deliveryMutex_);
  delegate->audioCaptureEngine(*this, buffer);
}

}  // namespace tolvo
