#include "recording/recording_coordinator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <set>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

#include "core/diagnostic_log.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"
#include "core/ui_test_mode.h"
#include "core/window_switch_debug.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "db/database_manager.h"
#include "platform/display_server.h"
#include "platform/system_events.h"
#include "platform/window_context_source.h"
#include "recording/active_display_resolver.h"
#include "recording/audio_encoder.h"
#include "recording/fragmented_mp4_muxer.h"

namespace tolvo {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kUITestWidth = 1280;
constexpr int kUITestHeight = 720;

double secondsSince(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

std::string lowercaseUUID() {
  std::string id = EncryptionUtilities::randomUUID();
  std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return id;
}

std::string twoDecimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

void switchLog(std::string message) {
  TolvoWindowSwitchDebug::log(std::move(message), RecordingCoordinator::kLogSource);
}

std::string describe(const std::exception& e) { return e.what(); }

// Database writes made while recording are best effort: a failure leaves the row as it was
// and the recording goes on (an interrupted session's repair closes what stayed open).
template <typename Write>
void bestEffort(Write&& write) {
  try {
    write();
  } catch (const std::exception&) {
  }
}

}  // namespace

RecordingError::RecordingError(Code code) : Error(describe(code)), code_(code) {}

const char* RecordingError::describe(Code code) noexcept {
  switch (code) {
    case Code::alreadyRecording: return "Already recording";
    case Code::notRecording: return "Not currently recording";
    case Code::vaultLocked: return "Vault is locked";
    case Code::noScreenPermission: return "Screen recording permission not granted";
    case Code::encoderFailed: return "Video encoder failed";
    case Code::writerFailed: return "Failed to write encrypted data";
  }
  return "";
}

// Carries the audio encoder's AAC packets onto the recorder's queue, into the open chunk.
class RecordingCoordinator::AudioSampleForwarder final : public AudioEncoderDelegate {
 public:
  explicit AudioSampleForwarder(std::weak_ptr<RecordingCoordinator> owner) : owner_(std::move(owner)) {}
  void audioEncoder(AudioEncoder&, const EncodedSample& sample) override {
    auto owner = owner_.lock();
    if (!owner) return;
    if (owner->queue_.isCurrent()) {
      // A flush at the end of a chunk: the last packets belong to that chunk.
      if (owner->muxer_) owner->muxer_->addAudioSample(sample);
      return;
    }
    owner->queue_.async([weak = owner_, sample] {
      if (auto self = weak.lock(); self && self->muxer_) self->muxer_->addAudioSample(sample);
    });
  }

 private:
  std::weak_ptr<RecordingCoordinator> owner_;
};

RecordingCoordinator& RecordingCoordinator::shared() {
  // The recorder reports its own failures; FFmpeg's console output (absent hardware encoders
  // probed at every chunk, encoder banners) is limited to fatal errors.
  static const bool quiet = (av_log_set_level(AV_LOG_FATAL), true);
  (void)quiet;
  // Never destroyed: blocks of other threads may still reach it while the process exits.
  static auto* instance = new std::shared_ptr<RecordingCoordinator>(create(Dependencies{
      makeX11DisplayServer(), makeX11WindowContextSource(),
      [] { return std::shared_ptr<SystemEventSource>(makeLogindSystemEventSource()); }, {},
      DatabaseManager::shared(), KeyManager::shared(), isUITestMode()}));
  return **instance;
}

std::shared_ptr<RecordingCoordinator> RecordingCoordinator::create(Dependencies dependencies) {
  return std::shared_ptr<RecordingCoordinator>(new RecordingCoordinator(std::move(dependencies)));
}

RecordingCoordinator::RecordingCoordinator(Dependencies dependencies) : deps_(std::move(dependencies)) {
  status_.config = RecordingConfig::defaultConfig();
}

RecordingCoordinator::~RecordingCoordinator() {
  // The components' own threads stop before the queues they post to go away.
  frameTimer_.cancel();
  if (screenCaptureEngine_) screenCaptureEngine_->stop();
  if (audioCaptureEngine_) audioCaptureEngine_->stop();
  if (appContextTracker_) appContextTracker_->stopTracking();
  if (systemEventWatcher_) systemEventWatcher_->stop();
}

template <typename F>
void RecordingCoordinator::onQueue(F&& block) {
  queue_.async([weak = weak_from_this(), block = std::forward<F>(block)]() mutable {
    if (auto self = weak.lock()) block(*self);
  });
}

RecordingStatus RecordingCoordinator::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

RecordingConfig RecordingCoordinator::config() const {
  std::lock_guard lock(mutex_);
  return status_.config;
}

std::optional<std::string> RecordingCoordinator::currentSessionId() const {
  std::lock_guard lock(mutex_);
  return sessionId_;
}

void RecordingCoordinator::rcLog(const std::string& message) const {
  if (deps_.uiTestMode) tolvo::rcLog(message);
}

void RecordingCoordinator::logEvent(EventType type) {
  const auto sessionId = currentSessionId();
  if (!sessionId) return;
  bestEffort([&] { deps_.database.createEvent(Event{0, *sessionId, nowUnixMs(), type, std::nullopt}); });
}

// ---- start, pause, resume, stop, configuration ----

void RecordingCoordinator::startRecording(const RecordingConfig& config) {
  queue_.sync([&] { startOnQueue(config); });
}

void RecordingCoordinator::startOnQueue(const RecordingConfig& config) {
  {
    std::lock_guard lock(mutex_);
    if (status_.state != RecordingStatus::State::idle) throw RecordingError(RecordingError::Code::alreadyRecording);
  }
  if (!deps_.keys.isUnlocked()) throw RecordingError(RecordingError::Code::vaultLocked);
  if (!ScreenCaptureEngine::hasPermission(deps_.displays)) {
    throw RecordingError(RecordingError::Code::noScreenPermission);
  }

  const Session session{lowercaseUUID(), nowUnixMs(), std::nullopt, 0};
  {
    std::lock_guard lock(mutex_);
    status_.config = config;
    status_.state = RecordingStatus::State::recording;
    status_.startedAt = std::chrono::system_clock::now();
    status_.framesCaptured = 0;
    status_.bytesWritten = 0;
  }
  try {
    Session row = session;
    row.createdAtMs = row.startedAtMs;
    deps_.database.createSession(row);
    {
      std::lock_guard lock(mutex_);
      sessionId_ = row.id;
      status_.currentSessionId = row.id;
    }
    deps_.database.createEvent(Event{0, row.id, row.startedAtMs, EventType::sessionStarted, std::nullopt});
    lastRecordingIntervalId_ = deps_.database.createRecordingInterval(
        RecordingInterval{0, row.id, row.startedAtMs, row.startedAtMs, RecordingState::recording, std::nullopt});
    setupRecordingComponents(config);
    startNewChunk();
    startCaptureTimer();
  } catch (...) {
    // A recording that failed to start is stopped again, so the recorder is idle and the
    // session (if its row was written) is closed rather than left open.
    stopOnQueue();
    {
      std::lock_guard lock(mutex_);
      status_.pausedAt.reset();
      status_.pauseReason.reset();
    }
    throw;
  }
}

void RecordingCoordinator::pauseRecording(PauseReason reason) {
  if (status().state != RecordingStatus::State::recording) return;
  onQueue([reason](RecordingCoordinator& self) {
    {
      std::lock_guard lock(self.mutex_);
      // A stop or another pause queued before this block has already changed the state.
      if (self.status_.state != RecordingStatus::State::recording) return;
      self.status_.state = RecordingStatus::State::paused;
      self.status_.pausedAt = std::chrono::system_clock::now();
      self.status_.pauseReason = reason;
    }
    self.stopCaptureTimer();
    if (self.screenCaptureEngine_) self.screenCaptureEngine_->stop();
    if (self.audioCaptureEngine_) self.audioCaptureEngine_->stop();
    self.finalizeCurrentChunk(true);
    self.endCurrentRecordingInterval();
    self.logEvent(EventType::recordingPaused);
  });
}

void RecordingCoordinator::resumeRecording() {
  if (status().state != RecordingStatus::State::paused) return;
  onQueue([](RecordingCoordinator& self) {
    RecordingConfig config;
    {
      std::lock_guard lock(self.mutex_);
      if (self.status_.state != RecordingStatus::State::paused) return;
      self.status_.state = RecordingStatus::State::recording;
      self.status_.pausedAt.reset();
      self.status_.pauseReason.reset();
      config = self.status_.config;
    }
    self.startNewRecordingInterval();
    if (config.recordAudio && self.audioCaptureEngine_) {
      try {
        self.audioCaptureEngine_->start();
      } catch (const std::exception&) {
        // The recording goes on without sound.
      }
    }
    try {
      self.startNewChunk();
    } catch (const std::exception&) {
      // The capture tick retries when capture is missing.
    }
    self.startCaptureTimer();
    self.logEvent(EventType::recordingResumed);
  });
}

void RecordingCoordinator::stopRecording(std::function<void()> completion) {
  const auto state = status().state;
  rcLog("stopRecording called (state=" + std::string(rawValue(state)) + ")");
  if (state == RecordingStatus::State::idle) {
    if (completion) completion();
    return;
  }
  onQueue([completion = std::move(completion)](RecordingCoordinator& self) {
    self.rcLog("stopRecording executing on queue (state=" + std::string(rawValue(self.status().state)) + ")");
    self.stopOnQueue();
    const auto finished = self.status();
    self.rcLog("stopRecording finished (state=" + std::string(rawValue(finished.state)) +
               ", bytesWritten=" + std::to_string(finished.bytesWritten) + ")");
    if (completion) completion();
  });
}

bool RecordingCoordinator::stopRecordingAndWait(std::chrono::milliseconds timeout) {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  stopRecording([done] { done->set_value(); });
  return finished.wait_for(timeout) == std::future_status::ready;
}

void RecordingCoordinator::stopOnQueue() {
  {
    std::lock_guard lock(mutex_);
    if (status_.state == RecordingStatus::State::idle && !sessionId_) return;  // stopped by an earlier block
    status_.state = RecordingStatus::State::stopping;
  }
  stopCaptureTimer();
  if (screenCaptureEngine_) screenCaptureEngine_->stop();
  if (audioCaptureEngine_) audioCaptureEngine_->stop();
  finalizeCurrentChunk(true);
  endCurrentRecordingInterval();
  endCurrentContextInterval();
  finalizeCurrentSession();
  cleanupRecordingComponents();
  std::lock_guard lock(mutex_);
  status_.state = RecordingStatus::State::idle;
  status_.currentSessionId.reset();
  status_.currentChunkId.reset();
  status_.startedAt.reset();
}

void RecordingCoordinator::setChunkFinishedHandler(std::function<void(const Chunk&)> handler) {
  std::lock_guard lock(mutex_);
  chunkFinished_ = std::move(handler);
}

void RecordingCoordinator::updateConfig(const RecordingConfig& config) {
  RecordingConfig old;
  RecordingStatus::State state;
  {
    std::lock_guard lock(mutex_);
    old = status_.config;
    state = status_.state;
    if (state != RecordingStatus::State::recording) status_.config = config;
  }
  if (state == RecordingStatus::State::recording) {
    onQueue([config, old](RecordingCoordinator& self) {
      {
        std::lock_guard lock(self.mutex_);
        self.status_.config = config;
        if (self.status_.state != RecordingStatus::State::recording) return;  // paused or stopped meanwhile
      }
      const bool replace = old.fps != config.fps || old.codec != config.codec ||
                           old.clampedVideoScale() != config.clampedVideoScale() ||
                           old.clampedVideoQuality() != config.clampedVideoQuality();
      if (replace) {
        self.finalizeCurrentChunk(false);
        if (old.codec != config.codec) self.replaceVideoEncoder(config.codec);
        try {
          self.startNewChunk();
        } catch (const std::exception&) {
          // The capture tick retries.
        }
      }
      self.logEvent(EventType::configChanged);
    });
  } else if (state == RecordingStatus::State::paused && old.codec != config.codec) {
    onQueue([codec = config.codec](RecordingCoordinator& self) { self.replaceVideoEncoder(codec); });
  }
}

void RecordingCoordinator::replaceVideoEncoder(const std::string& codec) {
  if (videoEncoder_) videoEncoder_->invalidate();
  videoEncoder_ = std::make_unique<VideoEncoder>(codec);
  videoEncoder_->setDelegate(weak_from_this());
}

// ---- components ----

void RecordingCoordinator::setupRecordingComponents(const RecordingConfig& config) {
  activeDisplayResolver_ = std::make_unique<ActiveDisplayResolver>(deps_.windows, deps_.displays);
  appContextTracker_ = AppContextTracker::create(queue_, deps_.windows, deps_.displays);
  appContextTracker_->setDelegate(weak_from_this());
  appContextTracker_->startTracking();

  if (!systemEventWatcher_ && deps_.systemEvents) {
    systemEventWatcher_ = SystemEventWatcher::create(eventQueue_, deps_.systemEvents());
    systemEventWatcher_->setDelegate(weak_from_this());
  }

  screenCaptureEngine_ = std::make_shared<ScreenCaptureEngine>(deps_.displays);
  screenCaptureEngine_->setDelegate(weak_from_this());

  if (config.recordAudio) {
    auto engine = deps_.audioInput ? std::make_shared<AudioCaptureEngine>(deps_.audioInput)
                                   : std::make_shared<AudioCaptureEngine>();
    engine->setDelegate(weak_from_this());
    audioForwarder_ = std::make_shared<AudioSampleForwarder>(weak_from_this());
    {
      std::lock_guard lock(audioMutex_);
      audioEncoder_ = std::make_unique<AudioEncoder>(44100, 2);
      audioEncoder_->setDelegate(audioForwarder_);
    }
    audioCaptureEngine_ = engine;
    engine->start();
  }

  videoEncoder_ = std::make_unique<VideoEncoder>(config.codec);
  videoEncoder_->setDelegate(weak_from_this());
  muxer_ = std::make_unique<FragmentedMP4Muxer>();
}

void RecordingCoordinator::cleanupRecordingComponents() {
  if (screenCaptureEngine_) screenCaptureEngine_->stop();
  if (audioCaptureEngine_) audioCaptureEngine_->stop();
  if (appContextTracker_) appContextTracker_->stopTracking();
  if (systemEventWatcher_) systemEventWatcher_->stop();
  if (videoEncoder_) videoEncoder_->invalidate();
  {
    std::lock_guard lock(audioMutex_);
    if (audioEncoder_) audioEncoder_->invalidate();
    audioEncoder_.reset();
  }
  screenCaptureEngine_.reset();
  audioCaptureEngine_.reset();
  appContextTracker_.reset();
  systemEventWatcher_.reset();
  activeDisplayResolver_.reset();
  videoEncoder_.reset();
  audioForwarder_.reset();
  muxer_.reset();
  encryptedWriter_.reset();
  lastLoggedDisplaySelection_.reset();
}

// ---- chunks ----

void RecordingCoordinator::startNewChunk() {
  const auto sessionId = currentSessionId();
  const auto masterKey = deps_.keys.getMasterKey();
  if (!sessionId || !masterKey) throw RecordingError(RecordingError::Code::vaultLocked);
  const RecordingConfig config = this->config();

  Chunk chunk;
  chunk.id = lowercaseUUID();
  chunk.sessionId = *sessionId;
  chunk.startAtMs = nowUnixMs();
  const std::uint32_t display = resolvedTargetDisplay();
  const Size size = resolvedCaptureSize(display);
  switchLog("startNewChunk chunkId=" + chunk.id + " display=" + std::to_string(display) + " size=" +
            std::to_string(size.width) + "x" + std::to_string(size.height) + " fps=" + twoDecimals(config.fps));

  chunk.fileRelpath = chunk.id + ".qxv";
  chunk.pageSize = QXVWriter::kPageSize;
  chunk.codec = config.codec;
  chunk.width = size.width;
  chunk.height = size.height;
  chunk.fps = config.fps;
  chunk.hasAudio = config.recordAudio;
  if (config.recordAudio) {
    chunk.audioCodec = "aac";
    chunk.audioSampleRate = 44100;
    chunk.audioChannels = 2;
  }
  chunk.createdAtMs = chunk.startAtMs;
  deps_.database.createChunk(chunk);

  currentChunk_ = chunk;
  {
    std::lock_guard lock(mutex_);
    status_.currentChunkId = chunk.id;
  }
  chunkStartTime_ = SteadyClock::now();
  chunkMediaStart_ = MediaClock::now();

  const SymmetricKey chunkKey = deps_.keys.deriveChunkKey(*masterKey, chunk.id);
  encryptedWriter_ = std::make_shared<QXVWriter>(TolvoConstants::Paths::chunksDirectory() / chunk.fileRelpath,
                                                 chunk.id, chunkKey, false);
  if (videoEncoder_) videoEncoder_->setupSession(size.width, size.height, config.fps, config.clampedVideoQuality());
  if (muxer_) {
    // Each fragment goes into the encrypted file as soon as it is complete; a write that
    // fails raises into the muxer, which ends the segment.
    muxer_->startNewSegment(size.width, size.height, config.fps, config.recordAudio,
                            [writer = encryptedWriter_](ByteView bytes) { writer->write(bytes); });
  }
  if (screenCaptureEngine_) {
    screenCaptureEngine_->stop();
    screenCaptureEngine_->start(display, config.fps, CaptureSize{double(size.width), double(size.height)});
  }
  lastCaptureRestartAttempt_.reset();
  logEvent(EventType::chunkStarted);
}

bool RecordingCoordinator::rotationDue() const {
  return chunkStartTime_ && secondsSince(*chunkStartTime_) >= double(config().chunkDurationSeconds);
}

void RecordingCoordinator::finalizeCurrentChunk(bool rotateIfNeeded) {
  if (!currentChunk_) return;
  const bool rotate = rotationDue();
  const Chunk chunk = *currentChunk_;

  std::int64_t muxedBytes = 0;
  if (videoEncoder_) {
    // The video lasts until now even when the screen did not change since its last picture.
    videoEncoder_->repeatLastFrame(MediaClock::now());
    videoEncoder_->flush();
  }
  {
    // Sound captured up to now belongs to this chunk.
    std::lock_guard lock(audioMutex_);
    if (audioEncoder_) audioEncoder_->flush();
  }
  if (muxer_) muxedBytes = muxer_->finalize().value_or(0);
  rcLog("finalizeCurrentChunk: chunkId=" + chunk.id + ", muxedBytes=" + std::to_string(muxedBytes) +
        ", isUITestMode=" + (deps_.uiTestMode ? "true" : "false"));

  std::int64_t plainLength = 0;
  if (encryptedWriter_) {
    try {
      plainLength = encryptedWriter_->finalize();
    } catch (const std::exception& e) {
      // The pages already in the file stay readable; the row records how much they hold.
      plainLength = encryptedWriter_->plaintextBytesWritten();
      rcLog("finalizeCurrentChunk: failed to finalize the encrypted file - " + describe(e));
    }
  }
  {
    std::lock_guard lock(mutex_);
    status_.bytesWritten += plainLength;
    status_.currentChunkId.reset();
  }
  Chunk finished = chunk;
  finished.endAtMs = nowUnixMs();
  finished.mp4PlainLen = plainLength;
  bestEffort([&] { deps_.database.updateChunkEnded(chunk.id, *finished.endAtMs, plainLength); });
  currentChunk_.reset();
  encryptedWriter_.reset();
  chunkStartTime_.reset();
  chunkMediaStart_.reset();
  if (videoEncoder_) videoEncoder_->invalidate();
  logEvent(EventType::chunkEnded);
  if (plainLength > 0) {
    std::function<void(const Chunk&)> handler;
    {
      std::lock_guard lock(mutex_);
      handler = chunkFinished_;
    }
    if (handler) bestEffort([&] { handler(finished); });
  }

  if (rotateIfNeeded && rotate && status().state == RecordingStatus::State::recording) {
    switchLog("finalizeCurrentChunk rotating after chunkDurationSeconds=" + std::to_string(config().chunkDurationSeconds));
    try {
      startNewChunk();
    } catch (const std::exception&) {
      // The capture tick retries.
    }
  }
}

// ---- display choice and the capture tick ----

std::uint32_t RecordingCoordinator::resolvedTargetDisplay() {
  const std::vector<std::uint32_t> ordered = ActiveDisplayResolver::getAvailableDisplays(*deps_.displays);
  const std::set<std::uint32_t> available(ordered.begin(), ordered.end());
  std::string list;
  for (const std::uint32_t id : available) list += (list.empty() ? "" : ",") + std::to_string(id);

  std::optional<std::uint32_t> contextDisplay;
  if (appContextTracker_) {
    if (const auto context = appContextTracker_->getCurrentContext()) contextDisplay = context->displayId;
  }
  std::uint32_t chosen = 0;
  std::string source;
  if (contextDisplay && available.contains(*contextDisplay)) {
    chosen = *contextDisplay;
    source = "app_context";
  } else if (const auto resolved = activeDisplayResolver_ ? std::optional(activeDisplayResolver_->resolveActiveDisplay())
                                                           : std::nullopt;
             resolved && available.contains(*resolved)) {
    chosen = *resolved;
    source = "active_display_resolver";
  } else if (const std::uint32_t main = ActiveDisplayResolver::mainDisplayID(deps_.displays->monitors());
             available.empty() || available.contains(main)) {
    chosen = main;
    source = "main_display";
  } else {
    chosen = ordered.front();
    source = "first_available_display";
  }

  std::string key = "display=" + std::to_string(chosen) + " source=" + source + " available=" + list;
  if (key != lastLoggedDisplaySelection_) {
    lastLoggedDisplaySelection_ = std::move(key);
    const auto resolverDisplay = activeDisplayResolver_ ? activeDisplayResolver_->currentDisplayID() : std::nullopt;
    switchLog("resolvedTargetDisplay selected=" + std::to_string(chosen) + " source=" + source + " available=[" +
              list + "] contextDisplay=" + (contextDisplay ? std::to_string(*contextDisplay) : "nil") +
              " resolverDisplay=" + (resolverDisplay ? std::to_string(*resolverDisplay) : "nil"));
  }
  return chosen;
}

int RecordingCoordinator::scaledCaptureDimension(std::int64_t pixels, double scale) noexcept {
  const double scaled = std::round(double(pixels) * scale);
  long long value = scaled >= 2.0 ? static_cast<long long>(std::min(scaled, 1.0e9)) : 2;
  if (value % 2 != 0) value -= 1;
  return static_cast<int>(std::max(value, 2LL));
}

RecordingCoordinator::Size RecordingCoordinator::resolvedCaptureSize(std::uint32_t display) {
  if (deps_.uiTestMode) return {kUITestWidth, kUITestHeight};
  const double scale = config().clampedVideoScale();
  std::int64_t width = 0;
  std::int64_t height = 0;
  for (const Monitor& monitor : deps_.displays->monitors()) {
    if (monitor.id == display) {
      width = monitor.bounds.width;
      height = monitor.bounds.height;
    }
  }
  return {scaledCaptureDimension(width, scale), scaledCaptureDimension(height, scale)};
}

void RecordingCoordinator::startCaptureTimer() {
  const auto period = std::chrono::duration_cast<SerialQueue::Duration>(std::chrono::duration<double>(kCaptureTickSeconds));
  frameTimer_ = queue_.scheduleRepeating(period, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->captureFrame();
  });
}

void RecordingCoordinator::stopCaptureTimer() { frameTimer_.cancel(); }

void RecordingCoordinator::captureFrame() {
  if (status().state != RecordingStatus::State::recording) return;
  if (rotationDue()) {
    switchLog("captureFrame chunk duration exceeded; rotating chunk");
    finalizeCurrentChunk(false);
    try {
      startNewChunk();
    } catch (const std::exception&) {
      // Retried by a later tick when capture is missing.
    }
    return;
  }
  const std::uint32_t target = resolvedTargetDisplay();
  const Size size = resolvedCaptureSize(target);
  const auto current = screenCaptureEngine_ ? screenCaptureEngine_->currentDisplayID() : std::nullopt;
  if (!current) {
    restartCaptureIfNeeded(std::nullopt,
                           "screenCaptureEngine.currentDisplayID is nil; targetDisplay=" + std::to_string(target));
    return;
  }
  if (*current != target) {
    restartCaptureIfNeeded(EventType::displayChanged, "display mismatch current=" + std::to_string(*current) +
                                                          " target=" + std::to_string(target));
    return;
  }
  if (!currentChunk_ || (currentChunk_->width == size.width && currentChunk_->height == size.height)) return;
  restartCaptureIfNeeded(EventType::displayChanged,
                         "capture size mismatch current=" + std::to_string(currentChunk_->width) + "x" +
                             std::to_string(currentChunk_->height) + " target=" + std::to_string(size.width) + "x" +
                             std::to_string(size.height));
}

void RecordingCoordinator::restartCaptureIfNeeded(std::optional<EventType> logEventType, const std::string& reason) {
  if (lastCaptureRestartAttempt_ && secondsSince(*lastCaptureRestartAttempt_) < kRestartThrottleSeconds) {
    switchLog("restart skipped reason=" + reason +
              " secondsSinceLastAttempt=" + twoDecimals(secondsSince(*lastCaptureRestartAttempt_)));
    return;
  }
  switchLog("restartCapture reason=" + reason);
  lastCaptureRestartAttempt_ = SteadyClock::now();
  finalizeCurrentChunk(false);
  try {
    startNewChunk();
  } catch (const std::exception& e) {
    switchLog("restartCapture failed reason=" + reason + " error=" + describe(e));
    rcLog("restartCaptureIfNeeded: failed to restart capture - " + describe(e));
    return;
  }
  if (logEventType) logEvent(*logEventType);
}

// ---- intervals and the session ----

void RecordingCoordinator::startNewRecordingInterval() {
  const auto sessionId = currentSessionId();
  if (!sessionId) return;
  const std::int64_t now = nowUnixMs();
  try {
    lastRecordingIntervalId_ = deps_.database.createRecordingInterval(
        RecordingInterval{0, *sessionId, now, now, RecordingState::recording, std::nullopt});
  } catch (const std::exception&) {
    lastRecordingIntervalId_.reset();
  }
}

void RecordingCoordinator::endCurrentRecordingInterval() {
  if (const auto id = std::exchange(lastRecordingIntervalId_, std::nullopt)) {
    bestEffort([&] { deps_.database.updateRecordingIntervalEnd(*id, nowUnixMs()); });
  }
}

void RecordingCoordinator::endCurrentContextInterval() {
  if (const auto id = std::exchange(lastContextIntervalId_, std::nullopt)) {
    bestEffort([&] { deps_.database.updateContextIntervalEnd(*id, nowUnixMs()); });
  }
}

void RecordingCoordinator::finalizeCurrentSession() {
  const auto sessionId = currentSessionId();
  if (!sessionId) return;
  const std::int64_t now = nowUnixMs();
  bestEffort([&] { deps_.database.updateSessionEnded(*sessionId, now); });
  bestEffort([&] { deps_.database.createEvent(Event{0, *sessionId, now, EventType::sessionEnded, std::nullopt}); });
  std::lock_guard lock(mutex_);
  sessionId_.reset();
}

// ---- component callbacks ----

void RecordingCoordinator::screenCaptureEngine(ScreenCaptureEngine&, std::shared_ptr<const PixelBuffer> frame,
                                               MediaTime captureTime) {
  if (pendingFrames_.fetch_add(1) >= kMaxPendingFrames) {
    --pendingFrames_;
    return;
  }
  onQueue([frame = std::move(frame), captureTime](RecordingCoordinator& self) {
    --self.pendingFrames_;
    // A picture the previous stream took before this chunk began belongs to no chunk.
    if (self.videoEncoder_ && self.chunkMediaStart_ && captureTime >= *self.chunkMediaStart_) {
      self.videoEncoder_->encode(*frame, captureTime);
    }
  });
}

void RecordingCoordinator::videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) {
  // Called from inside encode(), repeatLastFrame() or flush() on the recorder's queue: the
  // sample goes into the chunk it was encoded for, before that chunk is finalized.
  {
    std::lock_guard lock(mutex_);
    ++status_.framesCaptured;
  }
  if (muxer_) muxer_->addVideoSample(sample);
}

void RecordingCoordinator::audioCaptureEngine(AudioCaptureEngine&, const PcmBuffer& buffer) {
  std::lock_guard lock(audioMutex_);
  if (audioEncoder_) audioEncoder_->encode(buffer);
}

void RecordingCoordinator::appContextTracker(AppContextTracker&, const AppContext& context) {
  const auto sessionId = currentSessionId();
  if (!sessionId) return;
  endCurrentContextInterval();
  const std::int64_t now = nowUnixMs();
  ContextInterval interval{0, *sessionId, now, now, context.bundleId, context.appName, context.windowTitle,
                           context.displayId ? std::optional(std::to_string(*context.displayId)) : std::nullopt};
  try {
    lastContextIntervalId_ = deps_.database.createContextInterval(interval);
  } catch (const std::exception&) {
    lastContextIntervalId_.reset();
  }
  logEvent(EventType::appChanged);
}

void RecordingCoordinator::systemEventWatcher(SystemEventWatcher&, SystemEvent event) {
  const RecordingStatus current = status();
  const auto pausedFor = [&current](PauseReason reason) {
    return current.state == RecordingStatus::State::paused && current.pauseReason == reason;
  };
  switch (event) {
    case SystemEvent::lidClosed:
      pauseRecording(PauseReason::lidClosed);
      logEvent(EventType::lidClosed);
      break;
    case SystemEvent::lidOpened:
      resumeRecording();
      logEvent(EventType::lidOpened);
      break;
    case SystemEvent::screensaverStarted:
      if (!current.config.recordScreensaver) pauseRecording(PauseReason::screensaver);
      logEvent(EventType::screensaverStarted);
      break;
    case SystemEvent::screensaverStopped:
      if (pausedFor(PauseReason::screensaver)) resumeRecording();
      logEvent(EventType::screensaverEnded);
      break;
    case SystemEvent::willSleep: pauseRecording(PauseReason::sleep); break;
    case SystemEvent::didWake:
      if (pausedFor(PauseReason::sleep)) resumeRecording();
      break;
  }
}

}  // namespace tolvo
