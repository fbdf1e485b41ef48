#include "core/diagnostic_log.h"

#include <syslog.h>

#include <mutex>
#include <string>

#include "core/error.h"
#include "core/file_util.h"
#include "core/time_util.h"
#include "core/tolvo_constants.h"

namespace tolvo {
namespace {

struct SourceForm {
  std::string_view filePrefix;
  std::string_view syslogLabel;
};

SourceForm formOf(DiagnosticLog::Source source) {
  switch (source) {
    case DiagnosticLog::Source::service: return {"", "XPC: "};
    case DiagnosticLog::Source::vaultManager: return {"VM: ", "VaultManager: "};
    case DiagnosticLog::Source::databaseManager: return {"DB: ", "DatabaseManager: "};
    case DiagnosticLog::Source::recorder: return {"RC: ", "RecordingCoordinator: "};
  }
  return {"", ""};
}

void openSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { ::openlog("tolvo-recorder-service", LOG_PID | LOG_NDELAY, LOG_USER); });
}

}  // namespace

std::filesystem::path DiagnosticLog::logFilePath() {
  return TolvoConstants::Paths::uiTestDirectory(false) / "xpc-debug.log";
}

void DiagnosticLog::system(std::string_view message) {
  openSyslogOnce();
  ::syslog(LOG_NOTICE, "%.*s", static_cast<int>(message.size()), message.data());
}

void DiagnosticLog::write(Source source, std::string_view message) {
  const SourceForm form = formOf(source);
  std::string line = "[" + iso8601(std::chrono::system_clock::now()) + "] ";
  line += form.filePrefix;
  line += message;
  line += '\n';
  try {
    auto dir = TolvoConstants::Paths::uiTestDirectory(false);
    fs::ensurePrivateDirectory(dir);
    fs::appendToFile(dir / "xpc-debug.log", asBytes(line));
  } catch (const Error&) {
    // The diagnostic log never fails its caller.
  }
  std::string sys(form.syslogLabel);
  sys += message;
  system(sys);
}

}  // namespace tolvo
