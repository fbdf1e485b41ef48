#include "platform/linux/pulse_audio_input.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "core/handle.h"

namespace tolvo {
namespace {

using Clock = std::chrono::steady_clock;
using Mainloop = Handle<pa_threaded_mainloop, pa_threaded_mainloop_free>;
using Context = Handle<pa_context, pa_context_unref>;
using Stream = Handle<pa_stream, pa_stream_unref>;

// How long connecting to the server and setting up the stream may take together.
constexpr pa_usec_t kSetupTimeoutUs = 5 * PA_USEC_PER_SEC;
// A capture-time estimate this close to the running clock only nudges it (by 1/kNudgeDivisor
// of the difference), so block times stay evenly spaced; a larger gap resets the clock.
constexpr auto kResyncThreshold = std::chrono::milliseconds(20);
constexpr int kNudgeDivisor = 16;
// The name of the capture thread (at most 15 characters).
constexpr const char* kThreadName = "tolvo-audio";

// Holds the main loop's lock for one scope.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }

 private:
  pa_threaded_mainloop* loop_;
};

class PulseAudioInput final : public AudioInput {
 public:
  PulseAudioInput(const AudioInputFormat& format, AudioBlockHandler handler)
      : format_(format), handler_(std::move(handler)) {
    block_.resize(std::size_t{format_.framesPerBlock} * format_.channels);
  }
  ~PulseAudioInput() override;

  // Connects and starts the stream; throws AudioInputError. On failure the destructor still
  // releases whatever was set up.
  void open(const std::string& applicationName);

  [[nodiscard]] bool running() const noexcept override { return running_.load(); }

 private:
  [[noreturn]] void fail(AudioInputError::Reason reason, const char* step) const;
  // Waits (holding the loop lock) until `done` holds; throws when `broken` holds or on timeout.
  template <typename Done, typename Broken>
  void waitFor(Done done, Broken broken, AudioInputError::Reason reason, const char* step);
  void connectStream();

  static void signalLoop(void* self);
  static void onContextState(pa_context*, void* self) { signalLoop(self); }
  static void onStreamState(pa_stream* stream, void* self);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
  static void onTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* self);

  void readAvailable();
  // The capture time of the first frame of a fragment of `frames` frames that is read now,
  // with `queuedFrames` frames (the fragment's included) waiting to be read.
  [[nodiscard]] Clock::time_point fragmentTime(std::size_t queuedFrames, std::size_t frames);
  // Appends `frames` frames (silence when `samples` is null) whose first was captured at
  // `firstTime`, handing every completed block to the handler.
  void append(const float* samples, std::size_t frames, Clock::time_point firstTime);
  [[nodiscard]] Clock::duration framesDuration(std::size_t frames) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frames) / format_.sampleRate));
  }

  AudioInputFormat format_;
  AudioBlockHandler handler_;
  Mainloop mainloop_;
  Context context_;
  Stream stream_;
  bool loopStarted_ = false;
  bool timedOut_ = false;
  std::atomic<bool> running_{false};

  // Capture-thread state: the block being filled and the running capture clock.
  std::vector<float> block_;
  std::size_t blockFrames_ = 0;
  Clock::time_point blockStart_;
  std::optional<Clock::time_point> nextFrameTime_;
};

PulseAudioInput::~PulseAudioInput() {
  // Stopping joins the loop thread: no callback runs after this line.
  if (loopStarted_) pa_threaded_mainloop_stop(mainloop_.get());
  if (stream_) {
    pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
    // A stream of a broken connection cannot be disconnected; unref alone releases it then.
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) (void)pa_stream_disconnect(stream_.get());
    stream_.reset();
  }
  if (context_) {
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
    context_.reset();
  }
  mainloop_.reset();
}

void PulseAudioInput::fail(AudioInputError::Reason reason, const char* step) const {
  std::string detail = step;
  if (context_) detail += std::string(": ") + pa_strerror(pa_context_errno(context_.get()));
  throw AudioInputError(reason, detail);
}

template <typename Done, typename Broken>
void PulseAudioInput::waitFor(Done done, Broken broken, AudioInputError::Reason reason, const char* step) {
  while (!done()) {
    if (broken()) fail(reason, step);
    if (timedOut_) throw AudioInputError(reason, std::string(step) + ": timed out");
    pa_threaded_mainloop_wait(mainloop_.get());
  }
}

void PulseAudioInput::open(const std::string& applicationName) {
  using Reason = AudioInputError::Reason;
  mainloop_.reset(pa_threaded_mainloop_new());
  if (!mainloop_) throw AudioInputError(Reason::threadFailed, "cannot create the main loop");
  pa_threaded_mainloop_set_name(mainloop_.get(), kThreadName);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  context_.reset(pa_context_new(api, applicationName.c_str()));
  if (!context_) throw AudioInputError(Reason::threadFailed, "cannot create the context");
  pa_context_set_state_callback(context_.get(), &PulseAudioInput::onContextState, this);

  // A missing server means no microphone: never spawn one.
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
    fail(Reason::noSource, "connect");
  if (pa_threaded_mainloop_start(mainloop_.get()) < 0)
    throw AudioInputError(Reason::threadFailed, "cannot start the main loop");
  loopStarted_ = true;

  const LoopLock lock(mainloop_.get());
  timeval deadline{};
  pa_timeval_add(pa_gettimeofday(&deadline), kSetupTimeoutUs);
  pa_time_event* timer = api->time_new(api, &deadline, &PulseAudioInput::onTimeout, this);
  if (timer == nullptr) throw AudioInputError(Reason::threadFailed, "cannot arm the set-up timer");
  try {
    waitFor([&] { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; },
            [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())); }, Reason::noSource, "connect");
    connectStream();
  } catch (...) {
    api->time_free(timer);
    throw;
  }
  api->time_free(timer);
}

void PulseAudioInput::connectStream() {
  using Reason = AudioInputError::Reason;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, format_.sampleRate, static_cast<std::uint8_t>(format_.channels)};
  if (format_.channels > PA_CHANNELS_MAX || format_.framesPerBlock == 0 || pa_sample_spec_valid(&spec) == 0) {
    throw AudioInputError(Reason::streamFailed, "unsupported sample format");
  }
  stream_.reset(pa_stream_new(context_.get(), "Microphone", &spec, nullptr));
  if (!stream_) fail(Reason::streamFailed, "create the stream");
  pa_stream_set_state_callback(stream_.get(), &PulseAudioInput::onStreamState, this);
  pa_stream_set_read_callback(stream_.get(), &PulseAudioInput::onReadable, this);

  // Fragments of one block keep the latency low; the server picks the rest.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(format_.framesPerBlock * pa_frame_size(&spec));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(stream_.get(), nullptr, &attributes, flags) < 0)
    fail(Reason::streamFailed, "connect the stream");

  const auto streamBroken = [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get())); };
  try {
    waitFor([&] { return pa_stream_get_state(stream_.get()) == PA_STREAM_READY; }, streamBroken, Reason::streamFailed,
            "start the stream");
  } catch (const AudioInputError&) {
    // No default source (none loaded, or the last one went away) is the server's "no entity".
    if (pa_context_errno(context_.get()) == PA_ERR_NOENTITY) fail(Reason::noSource, "start the stream");
    throw;
  }
  running_ = true;
}

void PulseAudioInput::signalLoop(void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseAudioInput*>(self)->mainloop_.get(), 0);
}

void PulseAudioInput::onStreamState(pa_stream* stream, void* self) {
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<PulseAudioInput*>(self)->running_ = false;
  signalLoop(self);
}

void PulseAudioInput::onTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
  static_cast<PulseAudioInput*>(self)->timedOut_ = true;
  signalLoop(self);
}

void PulseAudioInput::onReadable(pa_stream*, std::size_t, void* self) {
  static_cast<PulseAudioInput*>(self)->readAvailable();
}

void PulseAudioInput::readAvailable() {
  const std::size_t frameBytes = sizeof(float) * format_.channels;
  for (std::size_t queued;
       (queued = pa_stream_readable_size(stream_.get())) != static_cast<std::size_t>(-1) && queued > 0;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_.get(), &data, &bytes) < 0 || bytes == 0) return;
    const Clock::time_point firstTime = fragmentTime(queued / frameBytes, bytes / frameBytes);
    // The fragment stays valid until it is dropped. A hole in the stream (no data) is passed
    // on as silence, so the block times stay continuous.
    try {
      append(static_cast<const float*>(data), bytes / frameBytes, firstTime);
    } catch (...) {
      // The handler's failures stay with it: this callback runs inside libpulse.
    }
    if (pa_stream_drop(stream_.get()) < 0) return;
  }
}

Clock::time_point PulseAudioInput::fragmentTime(std::size_t queuedFrames, std::size_t frames) {
  // The newest queued frame left the source a transport delay ago and had waited there for
  // the source's latency; the fragment's first frame is the oldest queued one.
  Clock::time_point estimate = Clock::now() - framesDuration(queuedFrames);
  if (const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get())) {
    estimate -= std::chrono::microseconds(timing->source_usec + timing->transport_usec);
  }
  if (!nextFrameTime_ || estimate - *nextFrameTime_ > kResyncThreshold ||
      *nextFrameTime_ - estimate > kResyncThreshold) {
    nextFrameTime_ = estimate;
  } else {
    *nextFrameTime_ += (estimate - *nextFrameTime_) / kNudgeDivisor;
  }
  const Clock::time_point first = *nextFrameTime_;
  *nextFrameTime_ += framesDuration(frames);
  return first;
}

void PulseAudioInput::append(const float* samples, std::size_t frames, Clock::time_point firstTime) {
  const std::size_t channels = format_.channels;
  for (std::size_t done = 0; done < frames;) {
    if (blockFrames_ == 0) blockStart_ = firstTime + framesDuration(done);
    const std::size_t count = std::min<std::size_t>(format_.framesPerBlock - blockFrames_, frames - done);
    float* target = block_.data() + blockFrames_ * channels;
    if (samples != nullptr) {
      std::memcpy(target, samples + done * channels, count * channels * sizeof(float));
    } else {
      std::fill_n(target, count * channels, 0.0f);
    }
    blockFrames_ += count;
    done += count;
    if (blockFrames_ == format_.framesPerBlock) {
      blockFrames_ = 0;
      handler_(block_.data(), format_.framesPerBlock, blockStart_);
    }
  }
}

}  // namespace

std::unique_ptr<AudioInput> openPulseAudioInput(const std::string& applicationName, const AudioInputFormat& format,
                                                AudioBlockHandler handler) {
  auto input = std::make_unique<PulseAudioInput>(format, std::move(handler));
  input->open(applicationName);
  return input;
}

}  // namespace tolvo
