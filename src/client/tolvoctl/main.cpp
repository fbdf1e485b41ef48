// tolvoctl: the command-line client of tolvo-recorder-service. One invocation opens one
// connection; commands that read recorded data obtain a UI session token on it first, which
// needs an unlocked vault (a locked vault's database cannot be read).
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "client/service_launcher.h"
#include "client/tolvo_client.h"
#include "core/base64.h"
#include "core/raw_enum.h"
#include "core/records.h"
#include "core/recording_config.h"
#include "core/service_protocol.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"
#include "core/user_defaults.h"
#include "client/tolvoctl/chunk_export.h"
#include "client/tolvoctl/output.h"
#include "client/tolvoctl/password_prompt.h"
#include "client/tolvoctl/record_config.h"
#include "client/tolvoctl/time_argument.h"

#ifndef TOLVO_VERSION
#define TOLVO_VERSION "0.0.0"
#endif

namespace tolvo::ctl {
namespace {

using Json = nlohmann::json;

// Validity asked for the token of one invocation.
constexpr double kTokenSeconds = 300;

// How long `service stop` waits for the service to go away.
constexpr auto kStopTimeout = std::chrono::seconds(10);

constexpr const char* kNoVault = "there is no vault yet; create one with `tolvoctl vault create`";
constexpr const char* kVaultLocked = "the vault is locked; unlock it with `tolvoctl vault unlock`";

// An operation the service ran and refused, or a check of tolvoctl's own; the text goes to
// the user.
struct OperationFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The service's replies for a locked vault, said the way the user can act on them.
std::string explainServiceError(const std::string& error) {
  if (error == "Vault is locked" || error == "Database is not open") return kVaultLocked;
  return error;
}

struct Globals {
  std::string socket;
  bool noSpawn = false;
  bool json = false;
  bool passwordStdin = false;
};

class Context {
 public:
  explicit Context(const Globals& globals) : globals_(globals) {}

  [[nodiscard]] std::filesystem::path socketPath() const {
    std::optional<std::filesystem::path> explicitPath;
    if (!globals_.socket.empty()) explicitPath = globals_.socket;
    return ServiceProtocol::socketPath(explicitPath);
  }

  // The connection, starting the service first when none answers (unless --no-spawn).
  TolvoClient& client() {
    if (client_) return *client_;
    const std::filesystem::path path = socketPath();
    try {
      client_ = std::make_unique<TolvoClient>(path, clientOptions());
      return *client_;
    } catch (const ClientError& e) {
      if (e.kind() != ClientError::Kind::noService || globals_.noSpawn) throw;
    }
    auto executable = ServiceLauncher::findServiceExecutable();
    if (!executable) {
      throw ClientError(ClientError::Kind::noService, "no tolvo-recorder-service is listening on " + path.string() +
                                                          " and none was found beside tolvoctl or on PATH to start");
    }
    client_ = ServiceLauncher::launch(*executable, path, clientOptions(), std::chrono::seconds(10));
    std::cerr << "tolvoctl: started " << executable->string() << " on " << path.string()
              << " (`tolvoctl service stop` ends it)\n";
    return *client_;
  }

  // The connection to a service that is already running; nothing when none answers.
  TolvoClient* runningClient() {
    if (client_) return client_.get();
    try {
      client_ = std::make_unique<TolvoClient>(socketPath(), clientOptions());
    } catch (const ClientError& e) {
      if (e.kind() != ClientError::Kind::noService) throw;
      return nullptr;
    }
    return client_.get();
  }

  SecureBytes password(const std::string& prompt) {
    return globals_.passwordStdin ? readPasswordFromStdin() : readPasswordFromTerminal(prompt);
  }

  // Raises OperationFailed with a next step when there is no vault or it is locked.
  void requireUnlockedVault() {
    TolvoClient& c = client();
    if (c.isVaultUnlocked()) return;
    throw OperationFailed(c.vaultExists() ? kVaultLocked : kNoVault);
  }

  // The UI token of this invocation, minted on this connection. A token could also be earned
  // with the password while the vault is locked, but the data it opens stays unreadable until
  // the vault is unlocked, so a locked vault is reported instead.
  const UISessionToken& token() {
    if (token_) return *token_;
    requireUnlockedVault();
    DataResult<UISessionToken> result = client().mintUISession(kTokenSeconds);
    if (result.error) throw OperationFailed(explainServiceError(*result.error));
    if (!result.value) throw OperationFailed("the service issued no session token");
    token_ = *result.value;
    return *token_;
  }

  [[nodiscard]] bool json() const { return globals_.json; }
  [[nodiscard]] bool interactive() const { return !globals_.passwordStdin && ::isatty(STDIN_FILENO) != 0; }

 private:
  static TolvoClient::Options clientOptions() {
    TolvoClient::Options options;
    options.replyTimeout = std::chrono::seconds(120);
    return options;
  }

  const Globals& globals_;
  std::unique_ptr<TolvoClient> client_;
  std::optional<UISessionToken> token_;
};

void printJson(const Json& value) { std::cout << value.dump(2) << '\n'; }

void requireOk(const OkResult& result) {
  if (!result.ok) throw OperationFailed(explainServiceError(result.error.value_or("the operation failed")));
}

template <typename T>
T requireValue(DataResult<T> result, const std::string& what) {
  if (result.error) throw OperationFailed(explainServiceError(*result.error));
  if (!result.value) throw OperationFailed(what);
  return std::move(*result.value);
}

std::string orDash(const std::optional<std::string>& text) { return text ? *text : "-"; }

// A time option (--from, --to, --since, --until, --at) read by parseTimeArgument into
// `target`, a std::int64_t or a std::optional of one.
template <typename Target>
CLI::Option* addTimeOption(CLI::App* command, const std::string& name, Target& target, const std::string& what) {
  return command
      ->add_option_function<std::string>(
          name,
          [&target, name](const std::string& text) {
            const std::optional<std::int64_t> ms = parseTimeArgument(text, nowUnixMs());
            if (!ms) throw CLI::ValidationError(name, "not a time: " + text);
            target = *ms;
          },
          what + ": 2026-12-06T14:05, 2026-12-06, 14:05, -2h, now or milliseconds since 1970")
      ->type_name("TIME");
}

// --- commands -----------------------------------------------------------------------------

void vaultStatus(Context& ctx) {
  TolvoClient& c = ctx.client();
  const bool exists = c.vaultExists();
  const bool unlocked = c.isVaultUnlocked();
  if (ctx.json()) return printJson({{"exists", exists}, {"unlocked", unlocked}});
  if (!exists) std::cout << "No vault. Create one with `tolvoctl vault create`.\n";
  else std::cout << "Vault: " << (unlocked ? "unlocked" : "locked") << '\n';
}

void vaultCreate(Context& ctx, bool touchID) {
  TolvoClient& c = ctx.client();
  // The service would replace the existing vault's keys, leaving its recordings unreadable.
  if (c.vaultExists()) {
    throw OperationFailed(
        "a vault already exists; unlock it with `tolvoctl vault unlock`, or to start over (its recordings "
        "become unreadable) delete it first with `tolvoctl vault delete`");
  }
  SecureBytes password = ctx.password("New vault password: ");
  if (password.empty()) throw OperationFailed("the password must not be empty");
  if (ctx.interactive()) {
    SecureBytes again = ctx.password("Repeat the password: ");
    if (again.bytes() != password.bytes()) throw OperationFailed("the passwords do not match");
  }
  requireOk(c.createVault(toString(password.view()), touchID));
  if (ctx.json()) return printJson({{"ok", true}});
  std::cout << "Vault created.\n";
}

void vaultUnlock(Context& ctx) {
  TolvoClient& c = ctx.client();
  if (c.isVaultUnlocked()) {
    if (ctx.json()) return printJson({{"ok", true}});
    std::cout << "The vault is already unlocked.\n";
    return;
  }
  if (!c.vaultExists()) throw OperationFailed(kNoVault);
  SecureBytes password = ctx.password("Vault password: ");
  OkResult result = c.unlockVaultWithPassword(toString(password.view()));
  // A wrong password shows as a failed authentication of the wrapped master key.
  if (!result.ok && result.error && result.error->rfind("Authentication failed", 0) == 0) {
    throw OperationFailed("wrong password (" + *result.error + ")");
  }
  requireOk(result);
  if (ctx.json()) return printJson({{"ok", true}});
  std::cout << "Vault unlocked.\n";
}

void vaultLock(Context& ctx) {
  const bool ok = ctx.client().lockVault();
  if (ctx.json()) return printJson({{"ok", ok}});
  std::cout << "Vault locked.\n";
}

void vaultDelete(Context& ctx, bool yes) {
  TolvoClient& c = ctx.client();
  // Asked first even when no vault key is found: the key may only be out of reach (a locked
  // keyring) while the vault's files are still there.
  const bool exists = c.vaultExists();
  if (!yes) {
    if (::isatty(STDIN_FILENO) == 0) throw OperationFailed("deleting the vault needs --yes");
    std::cerr << "This deletes the vault's keys: every recording becomes unreadable.\nType 'delete' to confirm: ";
    std::string answer;
    std::getline(std::cin, answer);
    if (answer != "delete") throw OperationFailed("the vault was not deleted");
  }
  OkResult result = c.deleteVault();
  if (!result.ok && !exists) throw OperationFailed("there is no vault to delete");
  requireOk(result);
  if (ctx.json()) return printJson({{"ok", true}});
  std::cout << "Vault deleted.\n";
}

void sessionsList(Context& ctx, std::int64_t limit, std::int64_t offset) {
  const auto sessions = requireValue(ctx.client().listSessions(ctx.token(), limit, offset), "no sessions were returned");
  if (ctx.json()) return printJson(Json(sessions));
  if (sessions.empty()) {
    std::cout << "No sessions.\n";
    return;
  }
  Table table({"SESSION", "STARTED", "ENDED", "DURATION"});
  for (const auto& s : sessions) {
    std::optional<std::int64_t> duration;
    if (s.endedAtMs) duration = *s.endedAtMs - s.startedAtMs;
    table.add({s.id, formatTimeMs(s.startedAtMs), s.endedAtMs ? formatTimeMs(s.endedAtMs) : "(open)",
               formatDurationMs(duration)});
  }
  table.print(std::cout);
}

void sessionsShow(Context& ctx, const std::string& id) {
  TolvoClient& c = ctx.client();
  const auto& token = ctx.token();
  auto detail = c.getSessionDetail(token, id);
  if (detail.error) throw OperationFailed(explainServiceError(*detail.error));
  if (!detail.value) throw OperationFailed("no session " + id);
  const auto chunks = requireValue(c.listChunks(token, id), "no chunks were returned");
  if (ctx.json()) return printJson({{"session", Json(*detail.value)}, {"chunks", Json(chunks)}});
  const Session& s = *detail.value;
  std::int64_t bytes = 0;
  for (const auto& chunk : chunks) bytes += chunk.mp4PlainLen.value_or(0);
  std::cout << "Session:  " << s.id << '\n'
            << "Started:  " << formatTimeMs(s.startedAtMs) << '\n'
            << "Ended:    " << (s.endedAtMs ? formatTimeMs(s.endedAtMs) : "(open)") << '\n'
            << "Duration: " << formatDurationMs(s.endedAtMs ? std::optional(*s.endedAtMs - s.startedAtMs) : std::nullopt)
            << '\n'
            << "Chunks:   " << chunks.size() << " (" << formatBytes(bytes) << " of video)\n";
}

void sessionsDelete(Context& ctx, const std::vector<std::string>& ids) {
  auto result = ctx.client().deleteSessions(ctx.token(), ids);
  if (result.error) throw OperationFailed(explainServiceError(*result.error));
  if (ctx.json()) return printJson({{"deleted", result.count}});
  std::cout << "Deleted " << result.count << (result.count == 1 ? " session.\n" : " sessions.\n");
}

void sessionsRepair(Context& ctx) {
  ctx.requireUnlockedVault();
  auto result = ctx.client().repairInterruptedSessions();
  if (result.error) throw OperationFailed(explainServiceError(*result.error));
  if (ctx.json()) return printJson({{"repaired", result.count}});
  std::cout << "Repaired " << result.count << (result.count == 1 ? " session.\n" : " sessions.\n");
}

void chunksList(Context& ctx, const std::string& session) {
  const auto chunks = requireValue(ctx.client().listChunks(ctx.token(), session), "no chunks were returned");
  if (ctx.json()) return printJson(Json(chunks));
  if (chunks.empty()) {
    std::cout << "No chunks.\n";
    return;
  }
  Table table({"CHUNK", "START", "END", "SIZE", "CODEC", "FRAME", "FPS", "AUDIO"});
  for (const auto& c : chunks) {
    char fps[16];
    std::snprintf(fps, sizeof fps, "%g", c.fps);
    table.add({c.id, formatTimeMs(c.startAtMs), c.endAtMs ? formatTimeMs(c.endAtMs) : "(open)",
               formatBytes(c.mp4PlainLen), c.codec, std::to_string(c.width) + "x" + std::to_string(c.height), fps,
               c.hasAudio ? c.audioCodec.value_or("yes") : "no"});
  }
  table.print(std::cout);
}

void chunksExport(Context& ctx, const std::string& session, const std::string& chunk, const std::string& out,
                  const std::string& chunksDir) {
  if (out == "-" && ::isatty(STDOUT_FILENO) != 0) {
    throw OperationFailed("not writing video to a terminal; name an output file or redirect standard output");
  }
  const std::filesystem::path dir =
      chunksDir.empty() ? TolvoConstants::Paths::chunksDirectory() : std::filesystem::path(chunksDir);
  const std::int64_t bytes = exportChunk(ctx.client(), ctx.token(), session, chunk, out, dir);
  if (out == "-") return;
  if (ctx.json()) return printJson({{"path", out}, {"bytes", bytes}});
  std::cout << "Wrote " << formatBytes(bytes) << " to " << out << '\n';
}

void printRecordingIntervals(const std::vector<RecordingInterval>& intervals) {
  if (intervals.empty()) {
    std::cout << "No recording intervals.\n";
    return;
  }
  Table table({"ID", "START", "END", "DURATION", "STATE", "REASON"});
  for (const auto& i : intervals) {
    table.add({std::to_string(i.id), formatTimeMs(i.startAtMs), formatTimeMs(i.endAtMs),
               formatDurationMs(i.endAtMs - i.startAtMs), std::string(rawValue(i.state)),
               i.reason ? std::string(rawValue(*i.reason)) : "-"});
  }
  table.print(std::cout);
}

void printContextIntervals(const std::vector<ContextInterval>& intervals) {
  if (intervals.empty()) {
    std::cout << "No context intervals.\n";
    return;
  }
  Table table({"ID", "START", "END", "DURATION", "APP", "WINDOW", "DISPLAY"});
  for (const auto& i : intervals) {
    table.add({std::to_string(i.id), formatTimeMs(i.startAtMs), formatTimeMs(i.endAtMs),
               formatDurationMs(i.endAtMs - i.startAtMs), i.appName + " (" + i.bundleId + ")", orDash(i.windowTitle),
               orDash(i.displayHint)});
  }
  table.print(std::cout);
}

void intervals(Context& ctx, const std::string& session) {
  TolvoClient& c = ctx.client();
  const auto recording = requireValue(c.listRecordingIntervals(ctx.token(), session), "no intervals were returned");
  const auto context = requireValue(c.listContextIntervals(ctx.token(), session), "no intervals were returned");
  if (ctx.json()) return printJson({{"recording", Json(recording)}, {"context", Json(context)}});
  std::cout << "Recording intervals\n";
  printRecordingIntervals(recording);
  std::cout << "\nContext intervals\n";
  printContextIntervals(context);
}

void contextIntervals(Context& ctx, const std::string& session) {
  const auto context = requireValue(ctx.client().listContextIntervals(ctx.token(), session), "no intervals were returned");
  if (ctx.json()) return printJson(Json(context));
  printContextIntervals(context);
}

void events(Context& ctx, const std::string& session, std::int64_t from, std::int64_t to) {
  const auto list = requireValue(ctx.client().listEvents(ctx.token(), session, from, to), "no events were returned");
  if (ctx.json()) return printJson(Json(list));
  if (list.empty()) {
    std::cout << "No events.\n";
    return;
  }
  Table table({"ID", "TIME", "TYPE", "PAYLOAD"});
  for (const auto& e : list) {
    std::string payload = "-";
    if (e.payload) {
      payload = toString(*e.payload);
      bool printable = true;
      for (unsigned char ch : payload) printable = printable && ch >= 0x20 && ch != 0x7f;
      if (!printable) payload = base64Encode(*e.payload);
      payload = truncateText(payload, 80);
    }
    table.add({std::to_string(e.id), formatTimeMs(e.tsMs), std::string(rawValue(e.type)), payload});
  }
  table.print(std::cout);
}

// --- screen text and pictures ---

// The width of the terminal standard output goes to; nothing when it is not one.
std::optional<std::size_t> terminalColumns() {
  winsize size{};
  if (::isatty(STDOUT_FILENO) == 0 || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
    return std::nullopt;
  }
  return size.ws_col;
}

struct SearchRequest {
  std::string query;
  std::optional<std::int64_t> since, until;
  std::int64_t limit = 20;
  std::int64_t offset = 0;
};

void search(Context& ctx, const SearchRequest& request) {
  auto result = ctx.client().searchText(ctx.token(), request.query, request.since, request.until, request.limit,
                                        request.offset);
  if (result.error) throw OperationFailed(explainServiceError(*result.error));
  const std::vector<TextSearchHit> hits = std::move(result.value).value_or(std::vector<TextSearchHit>{});
  if (ctx.json()) return printJson(Json(hits));
  printSearchHits(std::cout, hits, terminalColumns());
}

void frame(Context& ctx, std::int64_t atMs, const std::string& out, const std::optional<std::string>& session,
           const std::string& chunksDir) {
  if (out == "-" && ::isatty(STDOUT_FILENO) != 0) {
    throw OperationFailed("not writing a picture to a terminal; name an output file or redirect standard output");
  }
  const std::filesystem::path dir =
      chunksDir.empty() ? TolvoConstants::Paths::chunksDirectory() : std::filesystem::path(chunksDir);
  const ExportedFrame written = exportFrame(ctx.client(), ctx.token(), atMs, session, out, dir);
  if (out == "-") return;
  if (ctx.json()) {
    return printJson({{"path", out}, {"bytes", written.bytes}, {"sessionId", written.sessionId},
                      {"chunkId", written.chunkId}, {"shownFromMs", written.shownFromMs},
                      {"width", written.width}, {"height", written.height}});
  }
  std::cout << "Wrote the " << written.width << "x" << written.height << " picture shown from "
            << formatTimeMs(written.shownFromMs) << " to " << out << '\n';
}

// --- summaries ---

void printSummaries(const std::vector<Summary>& list) {
  if (list.empty()) {
    std::cout << "No summaries.\n";
    return;
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Summary& s = list[i];
    if (i > 0) std::cout << '\n';
    std::cout << formatTimeMs(s.rangeStartMs) << " - " << formatTimeMs(s.rangeEndMs) << "  " << s.modelId << '\n';
    std::string line;
    for (char ch : s.summaryText + "\n") {
      if (ch != '\n') {
        line += ch;
        continue;
      }
      std::cout << (line.empty() ? "" : "  ") << line << '\n';
      line.clear();
    }
  }
}

void printJob(const PipelineJob& job) {
  std::cout << "Job:       " << job.id << '\n'
            << "Session:   " << job.sessionId << '\n'
            << "Status:    " << rawValue(job.status) << '\n'
            << "Requested: " << formatTimeMs(job.requestedAtMs) << '\n'
            << "Started:   " << formatTimeMs(job.startedAtMs) << '\n'
            << "Finished:  " << formatTimeMs(job.finishedAtMs) << '\n';
  if (job.startedAtMs) {
    std::cout << "Took:      " << formatClockMs(job.finishedAtMs.value_or(nowUnixMs()) - *job.startedAtMs) << '\n';
  }
  if (job.error) std::cout << "Error:     " << *job.error << '\n';
}

PipelineJob jobStatus(Context& ctx, const std::string& jobId) {
  return requireValue(ctx.client().summaryJobStatus(ctx.token(), jobId), "no job " + jobId + " is known");
}

// Follows the job until it ends, one status line per change (rewritten in place on a
// terminal), then prints the summaries it stored. A failed job exits with status 1.
void followJob(Context& ctx, const PipelineJob& started, std::int64_t from, std::int64_t to) {
  const bool terminal = ::isatty(STDOUT_FILENO) != 0 && !ctx.json();
  PipelineJob job = started;
  std::string shown;
  while (true) {
    job = jobStatus(ctx, job.id);
    const bool ended = job.status == JobStatus::done || job.status == JobStatus::failed ||
                       job.status == JobStatus::cancelled;
    const std::int64_t elapsed = (job.finishedAtMs.value_or(nowUnixMs())) - job.requestedAtMs;
    const std::string line = std::string(rawValue(job.status)) + "  " + formatClockMs(elapsed);
    if (!ctx.json() && (terminal || std::string(rawValue(job.status)) != shown)) {
      std::cout << (terminal ? "\r" : "") << "Job " << job.id << ": " << line << (terminal ? "" : "\n") << std::flush;
      shown = rawValue(job.status);
    }
    if (ended) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  if (terminal) std::cout << '\n';
  std::vector<Summary> stored;
  for (Summary& s : requireValue(ctx.client().getSummaries(ctx.token(), job.sessionId, from, to),
                                 "no summaries were returned")) {
    if (s.createdAtMs >= job.requestedAtMs) stored.push_back(std::move(s));
  }
  if (ctx.json()) {
    printJson({{"job", Json(job)}, {"summaries", Json(stored)}});
  } else if (!stored.empty() || job.status == JobStatus::done) {
    std::cout << '\n';
    printSummaries(stored);
  }
  if (job.status != JobStatus::done) {
    throw OperationFailed("the summary job " + std::string(rawValue(job.status)) +
                          (job.error ? ": " + *job.error : std::string()));
  }
}

void summaryStart(Context& ctx, SummaryJobRequest request, bool wait) {
  const std::int64_t from = request.startMs, to = request.endMs;
  // An open-ended request asks for the whole session: the service clips a range to the
  // session and takes an empty one as all of it.
  if (to == std::numeric_limits<std::int64_t>::max() && from == 0) request.endMs = 0;
  const JobIdResult result = ctx.client().startSummaryJob(ctx.token(), request);
  if (result.error || !result.jobId) {
    throw OperationFailed(explainServiceError(result.error.value_or("the service started no job")));
  }
  if (!wait) {
    if (ctx.json()) return printJson({{"jobId", *result.jobId}});
    std::cout << "Started summary job " << *result.jobId << "\n(`tolvoctl summary status " << *result.jobId
              << "` shows its progress)\n";
    return;
  }
  PipelineJob job;
  job.id = *result.jobId;
  job.sessionId = request.sessionId;
  followJob(ctx, jobStatus(ctx, job.id), from, to);
}

void summaryStatus(Context& ctx, const std::string& jobId) {
  const PipelineJob job = jobStatus(ctx, jobId);
  if (ctx.json()) return printJson(Json(job));
  printJob(job);
}

void summaryList(Context& ctx, const std::string& session, std::int64_t from, std::int64_t to) {
  const auto list = requireValue(ctx.client().getSummaries(ctx.token(), session, from, to), "no summaries were returned");
  if (ctx.json()) return printJson(Json(list));
  printSummaries(list);
}

void recordStatus(Context& ctx) {
  const auto status = requireValue(ctx.client().getRecordingStatus(), "the service returned no status");
  if (ctx.json()) return printJson(Json(status));
  using State = RecordingStatus::State;
  const std::int64_t now = nowUnixMs();
  auto since = [now](Timestamp t) { return std::max<std::int64_t>(0, now - toUnixMs(t)); };
  std::cout << "State:    " << rawValue(status.state) << '\n'
            << "Session:  " << orDash(status.currentSessionId) << '\n'
            << "Chunk:    " << orDash(status.currentChunkId) << '\n'
            << "Frames:   " << status.framesCaptured << '\n'
            << "Written:  " << formatBytesExact(status.bytesWritten) << '\n';
  if ((status.state == State::recording || status.state == State::paused) && status.startedAt) {
    std::cout << "Uptime:   " << formatClockMs(since(*status.startedAt)) << '\n';
  }
  if (status.state == State::paused || status.pauseReason) {
    std::cout << "Paused:   " << (status.pauseReason ? rawValue(*status.pauseReason) : "-");
    if (status.pausedAt) {
      std::cout << " since " << formatTimeMs(toUnixMs(*status.pausedAt)) << " ("
                << formatClockMs(since(*status.pausedAt)) << ')';
    }
    std::cout << '\n';
  }
  if (status.errorMessage) std::cout << "Error:    " << *status.errorMessage << '\n';
  std::cout << "Config:   " << describe(status.config) << '\n';
}

void recordStart(Context& ctx, const RecordingConfigChange& change) {
  const RecordingConfig config = change.appliedTo(RecordingConfig::defaultConfig());
  ctx.requireUnlockedVault();
  requireOk(ctx.client().startRecording(config));
  if (ctx.json()) return printJson({{"ok", true}});
  std::cout << "Recording (" << describe(config) << ").\n";
}

void printDefaults(const std::filesystem::path& path, const RecordingConfig& config) {
  std::cout << "Defaults (" << path.string() << "):\n";
  const Json keys = defaultsJson(config);
  std::size_t width = 0;
  for (const auto& [key, value] : keys.items()) width = std::max(width, key.size());
  for (const auto& [key, value] : keys.items()) {
    std::cout << "  " << key << std::string(width - key.size() + 2, ' ') << value.dump() << '\n';
  }
}

// Without settings prints the effective defaults. With settings writes them into the
// defaults file and hands the resulting configuration to a service that is running; none is
// started for this, since the next start reads the file anyway.
void recordConfig(Context& ctx, const RecordingConfigChange& change) {
  const std::filesystem::path path = TolvoConstants::Paths::userDefaultsFile();
  if (change.empty()) {
    const RecordingConfig config(UserDefaults::fromFile(path));
    if (ctx.json()) return printJson(defaultsJson(config));
    return printDefaults(path, config);
  }
  const RecordingConfig config = saveDefaults(path, change);
  TolvoClient* running = ctx.runningClient();
  if (running != nullptr) {
    OkResult result;
    try {
      result = running->updateConfig(config);
    } catch (const ClientError& e) {
      result.error = e.what();
    }
    if (!result.ok) {
      throw OperationFailed("saved the defaults to " + path.string() + ", but the running service did not take them: " +
                            explainServiceError(result.error.value_or("no reason given")));
    }
  }
  if (ctx.json()) {
    return printJson(
        {{"path", path.string()}, {"defaults", defaultsJson(config)}, {"serviceUpdated", running != nullptr}});
  }
  std::cout << (running != nullptr
                    ? "Saved the defaults and sent them to the running service.\n"
                    : "Saved the defaults; no service is running, they take effect at the next start.\n");
  printDefaults(path, config);
}

// The settings flags of `record start` and `record config`, collected in `change`. A bad
// value is a command-line error, reported before anything runs.
void addSettingFlags(CLI::App* command, RecordingConfigChange& change) {
  auto setting = [command](const std::string& name, const std::string& help, auto parse, auto& field) {
    auto store = [name, parse, &field](const std::string& text) {
      try {
        field = parse(text);
      } catch (const InvalidSetting& e) {
        throw CLI::ValidationError(name, e.what());
      }
    };
    command->add_option_function<std::string>(name, store, help)->type_name("VALUE");
  };
  setting("--fps", "Frames per second, above 0 and at most 60", parseFps, change.fps);
  setting("--codec", "Video codec: hevc or h264", parseCodec, change.codec);
  setting("--scale", "Picture scale, 0.25 to 1", parseVideoScale, change.videoScale);
  setting("--quality", "Video quality, 0.3 to 0.9", parseVideoQuality, change.videoQuality);
  setting("--chunk-seconds", "Length of one chunk in whole seconds", parseChunkSeconds, change.chunkDurationSeconds);
  auto toggle = [command](const std::string& name, std::optional<bool>& field, const std::string& on,
                          const std::string& off) {
    command->add_flag_function("--" + name, [&field](std::int64_t) { field = true; }, on);
    command->add_flag_function("--no-" + name, [&field](std::int64_t) { field = false; }, off);
  };
  toggle("audio", change.recordAudio, "Record the microphone too", "Do not record the microphone");
  toggle("screensaver", change.recordScreensaver, "Go on recording while the screensaver runs",
         "Pause while the screensaver runs");
}

void simpleOk(Context& ctx, const OkResult& result, const char* done) {
  requireOk(result);
  if (ctx.json()) return printJson({{"ok", true}});
  std::cout << done << '\n';
}

// Reads both permissions; with `request`, asks for them (on X11 nothing prompts: the
// answers say whether the display can be read and its windows' properties too).
void permissions(Context& ctx, bool request) {
  TolvoClient& c = ctx.client();
  const bool screen = request ? c.requestScreenRecordingPermission() : c.checkScreenRecordingPermission();
  const bool accessibility = request ? c.requestAccessibilityPermission() : c.checkAccessibilityPermission();
  if (ctx.json()) return printJson({{"screenRecording", screen}, {"accessibility", accessibility}});
  std::cout << "Screen recording: " << (screen ? "granted" : "not granted") << '\n'
            << "Accessibility:    " << (accessibility ? "trusted" : "not trusted") << '\n';
}

// Asks the service to exit and waits until its socket no longer answers. Never starts one.
void serviceStop(Context& ctx) {
  TolvoClient* c = ctx.runningClient();
  if (c == nullptr) {
    if (ctx.json()) return printJson({{"ok", true}, {"wasRunning", false}});
    std::cout << "No service is running.\n";
    return;
  }
  c->terminateService();
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  TolvoClient::Options probe;
  probe.connectTimeout = std::chrono::milliseconds(200);
  for (;;) {
    try {
      TolvoClient still(ctx.socketPath(), probe);
    } catch (const ClientError& e) {
      if (e.kind() == ClientError::Kind::noService) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw OperationFailed("the service was asked to stop but still answers on " + ctx.socketPath().string());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (ctx.json()) return printJson({{"ok", true}, {"wasRunning", true}});
  std::cout << "Service stopped.\n";
}

// "tolvoctl vault create" -> "vault create".
std::string commandPath(const CLI::App* command) {
  std::string path;
  for (; command != nullptr && command->get_parent() != nullptr; command = command->get_parent()) {
    path = path.empty() ? command->get_name() : command->get_name() + " " + path;
  }
  return path;
}

void rawCall(Context& ctx, const std::string& method, const std::string& params) {
  Json parsed = params.empty() ? Json::object() : Json::parse(params, nullptr, false);
  if (parsed.is_discarded()) throw OperationFailed("PARAMS is not valid JSON");
  printJson(ctx.client().call(method, std::move(parsed)));
}

int run(int argc, char** argv) {
  CLI::App app{"Command-line client of the TolvoDesk recorder service."};
  app.name("tolvoctl");
  app.require_subcommand(1);
  app.fallthrough();
  Globals globals;
  app.add_option("--socket", globals.socket, "Socket of the service (default as the service chooses it)");
  app.add_flag("--no-spawn", globals.noSpawn, "Do not start tolvo-recorder-service when none answers");
  app.add_flag("--json", globals.json, "Print JSON for scripts instead of tables");
  app.add_flag("--password-stdin", globals.passwordStdin, "Read the vault password from standard input");
  app.set_version_flag("--version", "tolvoctl " TOLVO_VERSION);

  app.footer(
      "Commands that read recordings need an unlocked vault. When no service answers, tolvoctl starts\n"
      "tolvo-recorder-service in the background (not with --no-spawn).\n"
      "Exit status: 0 done; 1 the operation failed; 2 the service refused the request or the connection\n"
      "failed; 3 no service to talk to; 100 and above: the command line is wrong.");

  std::function<void(Context&)> action;
  std::string actionName;
  auto on = [&](CLI::App* command, std::function<void(Context&)> f) {
    command->callback([&action, &actionName, command, f = std::move(f)] {
      action = f;
      actionName = commandPath(command);
    });
  };

  // vault
  auto* vault = app.add_subcommand("vault", "Create, unlock, lock or delete the vault")->require_subcommand(1);
  on(vault->add_subcommand("status", "Whether a vault exists and is unlocked"), vaultStatus);
  bool touchID = false;
  auto* create = vault->add_subcommand("create", "Create the vault with a new password");
  create->add_flag("--touch-id", touchID, "Also allow unlocking the UI with the biometric key");
  on(create, [&](Context& c) { vaultCreate(c, touchID); });
  on(vault->add_subcommand("unlock", "Unlock the vault with its password"), vaultUnlock);
  on(vault->add_subcommand("lock", "Lock the vault (stops any recording)"), vaultLock);
  bool yes = false;
  auto* del = vault->add_subcommand("delete", "Delete the vault's keys");
  del->add_flag("--yes", yes, "Do not ask for confirmation");
  on(del, [&](Context& c) { vaultDelete(c, yes); });

  // sessions
  auto* sessions = app.add_subcommand("sessions", "List, show, delete or repair recorded sessions")->require_subcommand(1);
  std::int64_t limit = 50, offset = 0;
  auto* list = sessions->add_subcommand("list", "List sessions, newest first");
  list->add_option("--limit", limit, "How many (default 50)");
  list->add_option("--offset", offset, "How many to skip");
  on(list, [&](Context& c) { sessionsList(c, limit, offset); });
  std::string sessionId;
  auto* show = sessions->add_subcommand("show", "Show one session");
  show->add_option("SESSION", sessionId, "Session id")->required();
  on(show, [&](Context& c) { sessionsShow(c, sessionId); });
  std::vector<std::string> sessionIds;
  auto* remove = sessions->add_subcommand("delete", "Delete finished sessions and their files");
  remove->add_option("SESSION", sessionIds, "Session ids")->required();
  on(remove, [&](Context& c) { sessionsDelete(c, sessionIds); });
  on(sessions->add_subcommand("repair", "Close sessions left open by a crash"), sessionsRepair);

  // chunks
  auto* chunks = app.add_subcommand("chunks", "List or export a session's video chunks")->require_subcommand(1);
  auto* chunksListCommand = chunks->add_subcommand("list", "List a session's chunks");
  chunksListCommand->add_option("SESSION", sessionId, "Session id")->required();
  on(chunksListCommand, [&](Context& c) { chunksList(c, sessionId); });
  std::string chunkId, outPath, chunksDir;
  auto* exportCommand = chunks->add_subcommand("export", "Decrypt one chunk to an MP4 file");
  exportCommand->add_option("SESSION", sessionId, "Session id")->required();
  exportCommand->add_option("CHUNK", chunkId, "Chunk id")->required();
  exportCommand->add_option("OUT", outPath, "Output file (created 0600; - for standard output)")->required();
  exportCommand->add_option("--chunks-dir", chunksDir, "Where the encrypted chunk files are (default: the vault's)");
  on(exportCommand, [&](Context& c) { chunksExport(c, sessionId, chunkId, outPath, chunksDir); });

  // intervals, context, events
  auto* intervalsCommand = app.add_subcommand("intervals", "Recording and context intervals of a session");
  intervalsCommand->add_option("SESSION", sessionId, "Session id")->required();
  on(intervalsCommand, [&](Context& c) { intervals(c, sessionId); });
  auto* contextCommand = app.add_subcommand("context", "Which application and window was frontmost, when");
  contextCommand->add_option("SESSION", sessionId, "Session id")->required();
  on(contextCommand, [&](Context& c) { contextIntervals(c, sessionId); });
  std::int64_t from = 0, to = std::numeric_limits<std::int64_t>::max();
  auto* eventsCommand = app.add_subcommand("events", "Events of a session");
  eventsCommand->add_option("SESSION", sessionId, "Session id")->required();
  addTimeOption(eventsCommand, "--from", from, "Start");
  addTimeOption(eventsCommand, "--to", to, "End");
  on(eventsCommand, [&](Context& c) { events(c, sessionId, from, to); });

  // screen text and pictures
  SearchRequest searchRequest;
  auto* searchCommand = app.add_subcommand("search", "Find text that was on screen, newest first");
  searchCommand->add_option("QUERY", searchRequest.query, "Words that must all occur; a final * matches a prefix")
      ->required();
  addTimeOption(searchCommand, "--since", searchRequest.since, "Seen at or after");
  addTimeOption(searchCommand, "--until", searchRequest.until, "Seen at or before");
  searchCommand->add_option("--limit", searchRequest.limit, "How many (default 20)");
  searchCommand->add_option("--offset", searchRequest.offset, "How many to skip");
  on(searchCommand, [&](Context& c) { search(c, searchRequest); });
  std::int64_t frameTime = 0;
  std::optional<std::string> frameSession;
  auto* frameCommand = app.add_subcommand("frame", "Write the recorded picture shown at a time as a PNG file");
  addTimeOption(frameCommand, "--at", frameTime, "The time")->required();
  frameCommand->add_option("-o,--output", outPath, "Output file (created 0600; - for standard output)")->required();
  frameCommand->add_option("--session", frameSession, "Look only in this session");
  frameCommand->add_option("--chunks-dir", chunksDir, "Where the encrypted chunk files are (default: the vault's)");
  on(frameCommand, [&](Context& c) { frame(c, frameTime, outPath, frameSession, chunksDir); });

  // record (also reachable as "recording", its earlier name)
  auto* record = app.add_subcommand("record", "Start, pause, resume or stop recording; its status and defaults")
                     ->require_subcommand(1);
  record->alias("recording");
  on(record->add_subcommand("status", "The recorder's state, counters and configuration"), recordStatus);
  RecordingConfigChange startChange;
  auto* start = record->add_subcommand("start", "Start recording (the vault must be unlocked)");
  start->footer("Settings not named come from the defaults (`tolvoctl record config`).");
  addSettingFlags(start, startChange);
  on(start, [&](Context& c) { recordStart(c, startChange); });
  std::string reason = "user";
  std::vector<std::string> reasons;
  for (const auto& [value, raw] : RawEnum<PauseReason>::table) reasons.emplace_back(raw);
  auto* pause = record->add_subcommand("pause", "Pause recording");
  pause->add_option("--reason", reason, "Why: user, lid_closed, screensaver, lock_screen or sleep (default user)")
      ->check(CLI::IsMember(reasons));
  on(pause, [&](Context& c) { simpleOk(c, c.client().pauseRecording(reason), "Paused."); });
  on(record->add_subcommand("resume", "Resume recording"),
     [](Context& c) { simpleOk(c, c.client().resumeRecording(), "Resumed."); });
  on(record->add_subcommand("stop", "Stop recording; returns once the recorder has stopped"),
     [](Context& c) { simpleOk(c, c.client().stopRecording(), "Stopped."); });
  RecordingConfigChange configChange;
  auto* config = record->add_subcommand("config", "Show the default settings, or change them with the flags of start");
  addSettingFlags(config, configChange);
  on(config, [&](Context& c) { recordConfig(c, configChange); });

  bool requestPermissions = false;
  auto* permissionsCommand = app.add_subcommand("permissions", "Screen-recording and accessibility permissions");
  permissionsCommand->add_flag("--request", requestPermissions, "Ask for the permissions instead of only reading them");
  on(permissionsCommand, [&](Context& c) { permissions(c, requestPermissions); });

  // service
  auto* service = app.add_subcommand("service", "Control the service process")->require_subcommand(1);
  on(service->add_subcommand("stop", "Ask the service to exit and wait until it has"), serviceStop);

  // summaries
  auto* summary = app.add_subcommand("summary", "Summarize recorded time; list the stored summaries")
                      ->require_subcommand(1);
  SummaryJobRequest job;
  job.endMs = std::numeric_limits<std::int64_t>::max();
  bool wait = false;
  auto* summaryStartCommand = summary->add_subcommand("start", "Start a summary job over a session's time range");
  summaryStartCommand->add_option("SESSION", job.sessionId, "Session id")->required();
  addTimeOption(summaryStartCommand, "--from", job.startMs, "Start (default: the session's start)");
  addTimeOption(summaryStartCommand, "--to", job.endMs, "End (default: the session's end)");
  summaryStartCommand->add_option("--preset", job.preset, "brief, detailed or activities (default brief)")
      ->check(CLI::IsMember({"brief", "detailed", "activities"}));
  summaryStartCommand->add_option("--interval", job.chunkInterval, "Window length: 2m, 5m or 1h (default 5m)")
      ->check(CLI::IsMember({"2m", "5m", "1h"}));
  summaryStartCommand->add_option("--question", job.question, "What the summaries should answer or focus on");
  summaryStartCommand->add_option("--endpoint", job.remoteAPIBaseURL,
                                  "Base address of a remote summary service (default: summaries are made locally)");
  summaryStartCommand->add_flag("--wait", wait, "Follow the job until it ends, then print its summaries");
  on(summaryStartCommand, [&](Context& c) { summaryStart(c, job, wait); });
  std::string jobId;
  auto* summaryStatusCommand = summary->add_subcommand("status", "A summary job's state, times and error");
  summaryStatusCommand->add_option("JOB", jobId, "Job id")->required();
  on(summaryStatusCommand, [&](Context& c) { summaryStatus(c, jobId); });
  auto* summaryListCommand = summary->add_subcommand("list", "Summaries lying inside a time range, by range");
  summaryListCommand->add_option("SESSION", sessionId, "Session id")->required();
  addTimeOption(summaryListCommand, "--from", from, "Start");
  addTimeOption(summaryListCommand, "--to", to, "End");
  on(summaryListCommand, [&](Context& c) { summaryList(c, sessionId, from, to); });

  // raw
  std::string method, params;
  auto* call = app.add_subcommand("call", "Send one raw request and print its result (for scripts)");
  call->add_option("METHOD", method, "Operation name")->required();
  call->add_option("PARAMS", params, "Params as a JSON object");
  on(call, [&](Context& c) { rawCall(c, method, params); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::RequiredError& e) {
    // A mistyped command ("vault stauts") is left over while its group still lacks one.
    const std::vector<std::string> leftover = app.remaining(true);
    if (leftover.empty()) return app.exit(e);
    std::cerr << "Unknown command or argument: " << leftover.front() << "\nRun with --help for more information.\n";
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  Context ctx(globals);
  try {
    action(ctx);
    return 0;
  } catch (const OperationFailed& e) {
    std::cerr << "tolvoctl: " << e.what() << '\n';
    return 1;
  } catch (const ClientError& e) {
    const bool rpc = e.kind() == ClientError::Kind::rpc;
    if (rpc && e.code() == -32601 && actionName != "call") {
      std::cerr << "tolvoctl: `" << actionName << "` is not available: this build of tolvo-recorder-service does not "
                << "offer it yet\n";
    } else {
      std::cerr << "tolvoctl: " << e.what() << '\n';
      if (rpc) std::cerr << "  (the service refused the request, JSON-RPC error " << e.code() << ")\n";
    }
    return e.kind() == ClientError::Kind::noService ? 3 : 2;
  } catch (const std::exception& e) {
    std::cerr << "tolvoctl: " << explainServiceError(e.what()) << '\n';
    return 1;
  }
}

}  // namespace
}  // namespace tolvo::ctl

int main(int argc, char** argv) { return tolvo::ctl::run(argc, argv); }
