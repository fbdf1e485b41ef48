#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

// The wire protocol between tolvo-recorder-service and its clients (docs/protocol.md):
// JSON-RPC 2.0, one JSON object per '\n'-terminated UTF-8 line in each direction, over a Unix
// stream socket. This file holds the one table of the operations (the original 36, then the
// extensions) that both the service's
// dispatcher and the client library check against, the JSON-RPC error codes and the socket
// location rules.
namespace tolvo::ServiceProtocol {

// The JSON type a parameter must have on the wire.
enum class ParamType {
  text,     // JSON string
  bytes,    // JSON string holding standard Base64 with padding (strictly decoded)
  boolean,  // true / false
  integer,  // JSON integer within the signed 64-bit range
  real,     // any JSON number
};

[[nodiscard]] std::string_view paramTypeName(ParamType type) noexcept;

struct ParamSpec {
  std::string_view name;
  ParamType type;
  // An optional parameter may be null or left out; every other one must be present and non-null.
  bool optional = false;
};

struct OperationSpec {
  std::string_view method;
  std::span<const ParamSpec> params;
  // Every key of the result object, in reply order; absent values travel as null.
  std::span<const std::string_view> resultKeys;
};

// The operations in declaration order: the original 36, then the extensions (searchText).
[[nodiscard]] std::span<const OperationSpec> operations() noexcept;

// The operation named `method` (exact, case-sensitive), or nullptr.
[[nodiscard]] const OperationSpec* findOperation(std::string_view method) noexcept;

// The parameter `name` of `operation`, or nullptr.
[[nodiscard]] const ParamSpec* findParam(const OperationSpec& operation, std::string_view name) noexcept;

// JSON-RPC 2.0 error codes used by the transport. Operation failures are never errors: they
// are results ({"ok":false,"error":"..."}).
namespace ErrorCode {
inline constexpr int parseError = -32700;      // the line is not JSON (id null)
inline constexpr int invalidRequest = -32600;  // not a request object, bad/missing id, batch, line too long
inline constexpr int methodNotFound = -32601;  // unknown method, or one the service does not serve
inline constexpr int invalidParams = -32602;   // missing parameter, wrong JSON type, bad Base64
inline constexpr int internalError = -32603;   // the handler failed without answering
}  // namespace ErrorCode

// The longest line either side accepts, without its '\n': 16 MiB. A longer request line is
// answered with invalidRequest and the connection is closed.
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} * 1024 * 1024;

// The longest string (a value or a key, between its quotes) a request may hold: 4 MiB. No
// parameter comes near it; a request that holds a longer one is answered with
// invalidRequest (with its id) and the connection stays open.
inline constexpr std::size_t kMaxRequestStringBytes = std::size_t{4} * 1024 * 1024;

inline constexpr std::string_view kJsonRpcVersion = "2.0";

// Where the service listens and clients connect: `explicitPath` (from --socket) when given,
// else $TOLVO_SOCKET, else $XDG_RUNTIME_DIR/tolvodesk/recorder.sock, else
// /tmp/tolvodesk-<uid>/recorder.sock. Empty variables count as unset. Creates nothing.
[[nodiscard]] std::filesystem::path socketPath(const std::optional<std::filesystem::path>& explicitPath = std::nullopt);

}  // namespace tolvo::ServiceProtocol
