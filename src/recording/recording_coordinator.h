#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/records.h"
#include "core/serial_queue.h"
#include "platform/audio_input.h"
#include "recording/app_context_tracker.h"
#include "recording/audio_capture_engine.h"
#include "recording/screen_capture_engine.h"
#include "recording/system_event_watcher.h"
#include "recording/video_encoder.h"

namespace tolvo {

class ActiveDisplayResolver;
class AudioEncoder;
class DatabaseManager;
class DisplayServer;
class FragmentedMP4Muxer;
class KeyManager;
class QXVWriter;
class SystemEventSource;
class WindowContextSource;

// Failures of the recorder, with their fixed descriptions.
class RecordingError : public Error {
 public:
  enum class Code { alreadyRecording, notRecording, vaultLocked, noScreenPermission, encoderFailed, writerFailed };

  explicit RecordingError(Code code);
  [[nodiscard]] Code code() const noexcept { return code_; }
  [[nodiscard]] static const char* describe(Code code) noexcept;

 private:
  Code code_;
};

// The process's recorder: the state machine of a recording, the components that capture,
// encode and write it, the session, interval, chunk and event rows, and the chunk files.
//
// A recording is cut into chunks. Each chunk is one fragmented MP4 stream whose bytes go
// straight into the chunk's encrypted file as they are made (nothing is written in plain
// text); closing the chunk completes the stream, finalizes the file and stores the chunk's
// end and plaintext length. A supervision tick once a second rotates the chunk when its
// duration is reached and restarts capture when the display to record or its size changed.
//
// Threads: the recorder's own serial queue ("com.tolvodesk.recording") runs every change of
// state and every use of the components (start, pause, resume, stop, configuration changes,
// the tick, frames and encoded samples, context changes); system events arrive on a queue of
// their own. status() may be read from any thread without waiting on the queue. Queued blocks
// and component callbacks hold the recorder weakly.
//
// REQUIRES: owned by a std::shared_ptr (use create()).
class RecordingCoordinator : public std::enable_shared_from_this<RecordingCoordinator>,
                             public ScreenCaptureEngineDelegate,
                             public VideoEncoderDelegate,
                             public AudioCaptureEngineDelegate,
                             public AppContextTrackerDelegate,
                             public SystemEventWatcherDelegate {
 public:
  struct Dependencies {
    std::shared_ptr<DisplayServer> displays;
    std::shared_ptr<WindowContextSource> windows;
    // Makes the source of sleep, lock and screensaver notifications for one recording.
    std::function<std::shared_ptr<SystemEventSource>()> systemEvents;
    AudioInputFactory audioInput;  // empty: the PulseAudio server
    DatabaseManager& database;
    KeyManager& keys;
    bool uiTestMode = false;  // every chunk 1280 x 720, and the "RC: " diagnostic lines
  };

  static constexpr double kCaptureTickSeconds = 1.0;
  static constexpr double kRestartThrottleSeconds = 2.0;
  static constexpr const char* kLogSource = "TolvoRecorderService";

  // The process's recorder (X11 display, logind, PulseAudio, the shared database and keys).
  [[nodiscard]] static RecordingCoordinator& shared();
  [[nodiscard]] static std::shared_ptr<RecordingCoordinator> create(Dependencies dependencies);

  RecordingCoordinator(const RecordingCoordinator&) = delete;
  RecordingCoordinator& operator=(const RecordingCoordinator&) = delete;
  ~RecordingCoordinator() override;

  // Starts a session: checks (idle, keys loaded, capture allowed), writes the session, its
  // first recording interval and sessionStarted, sets up the components and opens the first
  // chunk. Runs on the recorder's queue and waits for it. A failure after the checks stops
  // what was started (the session row is kept, ended) and raises.
  void startRecording(const RecordingConfig& config);
  // Returns at once; the work runs on the queue, and only in the state it applies to.
  void pauseRecording(PauseReason reason);
  void resumeRecording();
  // Returns at once; `completion` (may be empty) runs once the stop has finished (at once when
  // idle), on the recorder's queue or the caller's thread.
  void stopRecording(std::function<void()> completion);
  // Stops and waits for the stop to finish, at most `timeout`; true when it finished.
  // REQUIRES: not called on the recorder's queue.
  bool stopRecordingAndWait(std::chrono::milliseconds timeout);
  void updateConfig(const RecordingConfig& config);

  // Called on the recorder's queue with each chunk that was closed holding recorded bytes
  // (its end and plaintext length set). Replaces the previous handler.
  void setChunkFinishedHandler(std::function<void(const Chunk&)> handler);

  // A consistent copy of the current status; never waits on the recorder's queue.
  [[nodiscard]] RecordingStatus status() const;

  // The display server the recorder captures from and the source of the frontmost window.
  // Shared with the permission checks of the service.
  [[nodiscard]] const std::shared_ptr<DisplayServer>& displayServer() const noexcept { return deps_.displays; }
  [[nodiscard]] const std::shared_ptr<WindowContextSource>& windowContext() const noexcept { return deps_.windows; }

  // 1512 at 0.5 gives 756, 1001 at 0.5 gives 500: rounded (halves away from zero), even, at least 2.
  [[nodiscard]] static int scaledCaptureDimension(std::int64_t pixels, double scale) noexcept;

  // Component callbacks.
  void screenCaptureEngine(ScreenCaptureEngine& engine, std::shared_ptr<const PixelBuffer> frame,
                           MediaTime captureTime) override;
  void videoEncoder(VideoEncoder& encoder, const EncodedSample& sample, bool isKeyFrame) override;
  void audioCaptureEngine(AudioCaptureEngine& engine, const PcmBuffer& buffer) override;
  void appContextTracker(AppContextTracker& tracker, const AppContext& context) override;
  void systemEventWatcher(SystemEventWatcher& watcher, SystemEvent event) override;

 private:
  class AudioSampleForwarder;
  struct Size {
    int width = 0;
    int height = 0;
  };

  explicit RecordingCoordinator(Dependencies dependencies);

  // On the queue.
  void startOnQueue(const RecordingConfig& config);
  void stopOnQueue();
  void setupRecordingComponents(const RecordingConfig& config);
  void cleanupRecordingComponents();
  void startNewChunk();
  void finalizeCurrentChunk(bool rotateIfNeeded);
  void startCaptureTimer();
  void stopCaptureTimer();
  void captureFrame();
  void restartCaptureIfNeeded(std::optional<EventType> logEventType, const std::string& reason);
  [[nodiscard]] std::uint32_t resolvedTargetDisplay();
  [[nodiscard]] Size resolvedCaptureSize(std::uint32_t display);
  void startNewRecordingInterval();
  void endCurrentRecordingInterval();
  void endCurrentContextInterval();
  void finalizeCurrentSession();
  void replaceVideoEncoder(const std::string& codec);
  [[nodiscard]] bool rotationDue() const;

  // Any thread.
  void logEvent(EventType type);
  void rcLog(const std::string& message) const;
  [[nodiscard]] RecordingConfig config() const;
  [[nodiscard]] std::optional<std::string> currentSessionId() const;
  template <typename F>
  void onQueue(F&& block);

  Dependencies deps_;
  SerialQueue queue_{"com.tolvodesk.recording"};
  SerialQueue eventQueue_{"com.tolvodesk.system-events"};

  mutable std::mutex mutex_;  // guards status_, sessionId_ and chunkFinished_
  RecordingStatus status_;
  std::function<void(const Chunk&)> chunkFinished_;
  std::optional<std::string> sessionId_;

  // On the queue only.
  std::optional<Chunk> currentChunk_;
  std::shared_ptr<ScreenCaptureEngine> screenCaptureEngine_;
  std::shared_ptr<AudioCaptureEngine> audioCaptureEngine_;
  std::shared_ptr<AppContextTracker> appContextTracker_;
  std::unique_ptr<ActiveDisplayResolver> activeDisplayResolver_;
  std::unique_ptr<VideoEncoder> videoEncoder_;
  std::unique_ptr<FragmentedMP4Muxer> muxer_;
  std::shared_ptr<QXVWriter> encryptedWriter_;
  std::shared_ptr<SystemEventWatcher> systemEventWatcher_;
  std::shared_ptr<AudioSampleForwarder> audioForwarder_;
  SerialQueue::Timer frameTimer_;
  std::optional<std::chrono::steady_clock::time_point> chunkStartTime_;
  std::optional<MediaTime> chunkMediaStart_;  // frames captured earlier are dropped
  std::optional<std::chrono::steady_clock::time_point> lastCaptureRestartAttempt_;
  std::optional<std::int64_t> lastContextIntervalId_;
  std::optional<std::int64_t> lastRecordingIntervalId_;
  std::optional<std::string> lastLoggedDisplaySelection_;

  // The audio encoder runs on the microphone's thread; the queue flushes and drops it.
  std::mutex audioMutex_;
  std::unique_ptr<AudioEncoder> audioEncoder_;

  // Frames handed to the queue and not yet encoded; frames beyond the limit are dropped, so a
  // stalled queue never piles up pictures.
  static constexpr int kMaxPendingFrames = 3;
  std::atomic<int> pendingFrames_ = 0;
};

}  // namespace tolvo
