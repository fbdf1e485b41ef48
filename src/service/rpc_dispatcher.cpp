#include "service/rpc_dispatcher.h"

#include "core/json_codec.h"

#include <exception>

#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/diagnostic_log.h"
#include "core/service_protocol.h"
#include "service/connection_handler.h"
#include "service/reply_sink.h"
#include "service/rpc_params.h"
#include "service/rpc_reply.h"

namespace tolvo {

namespace ErrorCode = ServiceProtocol::ErrorCode;
using Json = nlohmann::json;

namespace {

// Wipes the parsed request whatever way dispatch() leaves.
struct WipeOnExit {
  Json& value;
  std::string& line;
  ~WipeOnExit() {
    json::wipeStrings(value);
    secureWipe(line.data(), line.size());
  }
};

// Deepest nesting of arrays and objects a request may have. Checked before parsing, so a
// line of brackets cannot make the parser build millions of nested values.
constexpr int kMaxNesting = 64;

bool nestsTooDeeply(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// The top-level "id" of a request too deeply nested to be parsed into values, so that its
// refusal still reaches the caller that waits for it. Reads the line without building
// anything; null when the line is not JSON or has no number or string id.
Json topLevelId(std::string_view line) {
  struct IdFinder final : nlohmann::json_sax<Json> {
    int depth = 0;
    bool atId = false;
    Json id;

    bool value(Json v) {
      if (atId && depth == 1) id = std::move(v);
      atId = false;
      return true;
    }
    bool null() override { return value(nullptr); }
    bool boolean(bool) override { return value(nullptr); }
    bool number_integer(number_integer_t v) override { return value(v); }
    bool number_unsigned(number_unsigned_t v) override { return value(v); }
    bool number_float(number_float_t v, const string_t&) override { return value(v); }
    bool string(string_t& v) override { return value(v); }
    bool binary(binary_t&) override { return value(nullptr); }
    bool start_object(std::size_t) override {
      atId = false;
      ++depth;
      return true;
    }
    bool key(string_t& k) override {
      atId = depth == 1 && k == "id";
      return true;
    }
    bool end_object() override {
      --depth;
      return true;
    }
    bool start_array(std::size_t) override {
      atId = false;
      ++depth;
      return true;
    }
    bool end_array() override {
      --depth;
      return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
      id = nullptr;
      return false;
    }
  } finder;
  Json::sax_parse(line, &finder);
  return finder.id;
}

void answerError(const std::shared_ptr<ReplySink>& sink, const Json& id, int code, std::string_view message) {
  sink->sendReply(encodeError(id, code, message));
}

}  // namespace

std::string RpcDispatcher::lineTooLongAnswer() {
  return encodeError(nullptr, ErrorCode::invalidRequest, "request line longer than 16 MiB");
}

void RpcDispatcher::dispatch(std::string& line, ConnectionHandler& handler, const std::shared_ptr<ReplySink>& sink) {
  Json request;
  WipeOnExit wipe{request, line};
  if (nestsTooDeeply(line)) {
    answerError(sink, topLevelId(line), ErrorCode::invalidRequest, "request nested too deeply");
    return;
  }
  request = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded()) {
    answerError(sink, nullptr, ErrorCode::parseError, "parse error: the line is not valid JSON");
    return;
  }
  if (request.is_array()) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "batch requests are not supported");
    return;
  }
  if (!request.is_object()) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "a request must be a JSON object");
    return;
  }
  auto idIt = request.find("id");
  if (idIt == request.end() || !(idIt->is_number() || idIt->is_string())) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "a request needs an \"id\" that is a number or a string");
    return;
  }
  const Json id = *idIt;
  auto versionIt = request.find("jsonrpc");
  if (versionIt == request.end() || !versionIt->is_string() ||
      versionIt->get_ref<const std::string&>() != ServiceProtocol::kJsonRpcVersion) {
    answerError(sink, id, ErrorCode::invalidRequest, "\"jsonrpc\" must be \"2.0\"");
    return;
  }
  auto methodIt = request.find("method");
  if (methodIt == request.end() || !methodIt->is_string()) {
    answerError(sink, id, ErrorCode::invalidRequest, "\"method\" must be a string");
    return;
  }
  const std::string& method = methodIt->get_ref<const std::string&>();
  const ServiceProtocol::OperationSpec* operation = ServiceProtocol::findOperation(method);
  if (operation == nullptr || !handler.handles(operation->method)) {
    answerError(sink, id, ErrorCode::methodNotFound, "method not found: " + method);
    return;
  }

  RpcParams params;
  {
    auto paramsIt = request.find("params");
    try {
      params = RpcParams::fromJson(*operation, paramsIt == request.end() ? Json() : *paramsIt);
    } catch (const InvalidParamsError& e) {
      answerError(sink, id, ErrorCode::invalidParams, std::string(operation->method) + ": " + e.what());
      return;
    }
  }

  RpcReply reply(sink, id, operation);
  try {
    handler.handle(operation->method, params, reply);
  } catch (const std::exception& e) {
    if (!reply.sent()) {
      xpcLog(std::string(operation->method) + " raised: " + e.what());
      reply.sendError(ErrorCode::internalError, std::string("internal error: ") + e.what());
    }
  } catch (...) {
    reply.sendError(ErrorCode::internalError, "internal error");
  }
}

}  // namespace tolvo
