#pragma once

#include <filesystem>
#include <string_view>

namespace tolvo {

// The service diagnostic log: <tmp>/TolvoDeskUITest/xpc-debug.log, one line per message,
// "[" + ISO 8601 time + "] " + prefix + message, each line mirrored to syslog(3) under the
// ident "tolvo-recorder-service". Every failure is ignored. Thread-safe: a line is appended
// with one write on an O_APPEND descriptor, so lines of concurrent callers never tear.
class DiagnosticLog {
 public:
  // Who writes: the file prefix and the syslog label of each component.
  enum class Source {
    service,          // file prefix none,   syslog "XPC: "
    vaultManager,     // file prefix "VM: ", syslog "VaultManager: "
    databaseManager,  // file prefix "DB: ", syslog "DatabaseManager: "
    recorder,         // file prefix "RC: ", syslog "RecordingCoordinator: "
  };

  static void write(Source source, std::string_view message);

  // Writes only to the system log (no file line), for messages the components send there alone.
  static void system(std::string_view message);

  [[nodiscard]] static std::filesystem::path logFilePath();
};

inline void xpcLog(std::string_view m) { DiagnosticLog::write(DiagnosticLog::Source::service, m); }
inline void vmLog(std::string_view m) { DiagnosticLog::write(DiagnosticLog::Source::vaultManager, m); }
inline void dbLog(std::string_view m) { DiagnosticLog::write(DiagnosticLog::Source::databaseManager, m); }
inline void rcLog(std::string_view m) { DiagnosticLog::write(DiagnosticLog::Source::recorder, m); }

}  // namespace tolvo
