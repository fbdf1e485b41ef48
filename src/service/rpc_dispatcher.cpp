#include "service/rpc_dispatcher.h"

#include <exception>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/diagnostic_log.h"
#include "core/json_codec.h"
#include "core/service_protocol.h"
#include "service/connection_handler.h"
#include "service/reply_sink.h"
#include "service/rpc_params.h"
#include "service/rpc_reply.h"

namespace tolvo {

namespace ErrorCode = ServiceProtocol::ErrorCode;
using Json = nlohmann::json;

namespace {

// The parts of a request line that dispatch() reads, gathered in one SAX pass that keeps
// only scalars: the envelope's members and the scalar members of "params". Nested arrays and
// objects are checked (nesting depth, syntax) and skipped as they stream past, with an empty
// array or object standing in for a structured value, so a line costs no more memory than
// its longest string whatever its shape: a line of millions of tiny values builds none of
// them. String values are moved out of the parser, not copied.
class RequestReader final : public nlohmann::json_sax<Json> {
 public:
  enum class Top { none, object, array, scalar };

  // Reads `line`; false when it is not JSON.
  bool read(std::span<const char> line) {
    return Json::sax_parse(line.begin(), line.end(), this, nlohmann::json::input_format_t::json, /*strict=*/true);
  }

  ~RequestReader() override {
    for (Json* value : {&id, &version, &method, &params}) json::wipeStrings(*value);
  }

  Top top = Top::none;
  bool tooDeep = false;  // arrays and objects nested deeper than json::kMaxNesting
  // Members of the top-level object; discarded (is_discarded()) when absent.
  Json id = Json(Json::value_t::discarded);
  Json version = Json(Json::value_t::discarded);
  Json method = Json(Json::value_t::discarded);
  Json params;  // null when absent

  // The parser's events.
  bool null() override { return value(nullptr); }
  bool boolean(bool v) override { return value(v); }
  bool number_integer(number_integer_t v) override { return value(v); }
  bool number_unsigned(number_unsigned_t v) override { return value(v); }
  bool number_float(number_float_t v, const string_t&) override { return value(v); }
  bool string(string_t& v) override { return value(Json(std::move(v))); }
  bool binary(binary_t&) override { return value(nullptr); }
  bool start_object(std::size_t) override { return open(Json::object(), Top::object); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Json::array(), Top::array); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (depth_ == 1) topKey_ = std::move(k);
    else if (depth_ == 2 && inParamsObject_) paramKey_ = std::move(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool value(Json&& v) {
    if (depth_ == 0) {
      top = Top::scalar;
    } else if (top == Top::object && depth_ == 1) {
      if (Json* slot = envelopeSlot()) *slot = std::move(v);
    } else if (top == Top::object && depth_ == 2 && inParamsObject_) {
      params[paramKey_] = std::move(v);
    }
    return true;
  }
  bool open(Json&& emptyShape, Top shape) {
    if (depth_ == 0) top = shape;
    // The value of an envelope member or of a parameter is recorded as its empty shape.
    if (top == Top::object && depth_ == 1) {
      value(std::move(emptyShape));
      inParamsObject_ = topKey_ == "params" && params.is_object();
    } else if (top == Top::object && depth_ == 2 && inParamsObject_) {
      value(std::move(emptyShape));
    }
    if (++depth_ > json::kMaxNesting) tooDeep = true;
    return true;
  }
  bool close() {
    if (--depth_ == 1) inParamsObject_ = false;
    return true;
  }
  Json* envelopeSlot() {
    if (topKey_ == "id") return &id;
    if (topKey_ == "jsonrpc") return &version;
    if (topKey_ == "method") return &method;
    if (topKey_ == "params") return &params;
    return nullptr;
  }

  int depth_ = 0;
  std::string topKey_;
  std::string paramKey_;
  bool inParamsObject_ = false;
};

// Rewrites `line` in place into JSON of the same meaning that the parser can read cheaply,
// and returns its new length. The JSON parser keeps the token it is reading, and the
// whitespace before it, twice over, so what parsing a line costs is decided by its longest
// token and its longest run of blanks, not by its length. Therefore:
//   - each run of blanks outside strings becomes one space;
//   - the text of a string (value or key) longer than kMaxRequestStringBytes is removed,
//     quotes kept, and a number or literal that long becomes 0; `cut` tells that this
//     happened, so that the request is refused.
// Strings are delimited as the JSON lexer delimits them.
std::size_t compactRequest(std::span<char> line, bool& cut) {
  constexpr std::size_t kMax = ServiceProtocol::kMaxRequestStringBytes;
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t out = 0;
  std::size_t tokenStart = kNone;  // where the current string's text or bare token begins
  bool inString = false;
  bool escaped = false;
  bool skippingToken = false;
  for (char c : line) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
        if (out - tokenStart > kMax) {
          out = tokenStart;
          cut = true;
        }
      }
      line[out++] = c;
      continue;
    }
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    const bool bare = !blank && c != '"' && c != '[' && c != ']' && c != '{' && c != '}' && c != ':' && c != ',';
    if (!bare) {
      tokenStart = kNone;
      skippingToken = false;
    }
    if (blank) {
      if (out == 0 || line[out - 1] != ' ') line[out++] = ' ';
    } else if (!bare) {
      line[out++] = c;
      if (c == '"') {
        inString = true;
        tokenStart = out;
      }
    } else if (!skippingToken) {
      if (tokenStart == kNone) tokenStart = out;
      line[out++] = c;
      if (out - tokenStart > kMax) {
        out = tokenStart;
        line[out++] = '0';
        cut = true;
        skippingToken = true;
      }
    }
  }
  // An unterminated string makes the line invalid; it need not be read to say so.
  if (inString && out - tokenStart > kMax) {
    out = tokenStart;
    cut = true;
  }
  return out;
}

void answerError(const std::shared_ptr<ReplySink>& sink, const Json& id, int code, std::string_view message) {
  sink->sendReply(encodeError(id, code, message));
}

}  // namespace

std::string RpcDispatcher::lineTooLongAnswer() {
  return encodeError(nullptr, ErrorCode::invalidRequest, "request line longer than 16 MiB");
}

void RpcDispatcher::dispatch(std::span<char> line, ConnectionHandler& handler, const std::shared_ptr<ReplySink>& sink) {
  RequestReader request;
  bool cut = false;
  const bool parsed = request.read(line.first(compactRequest(line, cut)));
  secureWipe(line.data(), line.size());
  const bool idUsable = request.id.is_number() || request.id.is_string();
  if (request.tooDeep) {
    // The id is known only when the rest of the line is well-formed.
    answerError(sink, parsed && idUsable ? request.id : Json(), ErrorCode::invalidRequest, "request nested too deeply");
    return;
  }
  if (!parsed) {
    answerError(sink, nullptr, ErrorCode::parseError, "parse error: the line is not valid JSON");
    return;
  }
  if (cut) {
    answerError(sink, idUsable ? request.id : Json(), ErrorCode::invalidRequest,
                "request holds a string or number longer than " +
                    std::to_string(ServiceProtocol::kMaxRequestStringBytes) + " bytes");
    return;
  }
  if (request.top == RequestReader::Top::array) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "batch requests are not supported");
    return;
  }
  if (request.top != RequestReader::Top::object) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "a request must be a JSON object");
    return;
  }
  if (!idUsable) {
    answerError(sink, nullptr, ErrorCode::invalidRequest, "a request needs an \"id\" that is a number or a string");
    return;
  }
  const Json& id = request.id;
  if (!request.version.is_string() || request.version.get_ref<const std::string&>() != ServiceProtocol::kJsonRpcVersion) {
    answerError(sink, id, ErrorCode::invalidRequest, "\"jsonrpc\" must be \"2.0\"");
    return;
  }
  if (!request.method.is_string()) {
    answerError(sink, id, ErrorCode::invalidRequest, "\"method\" must be a string");
    return;
  }
  const std::string& method = request.method.get_ref<const std::string&>();
  const ServiceProtocol::OperationSpec* operation = ServiceProtocol::findOperation(method);
  if (operation == nullptr || !handler.handles(operation->method)) {
    answerError(sink, id, ErrorCode::methodNotFound, "method not found: " + method);
    return;
  }

  RpcParams params;
  try {
    params = RpcParams::fromJson(*operation, request.params);
  } catch (const InvalidParamsError& e) {
    answerError(sink, id, ErrorCode::invalidParams, std::string(operation->method) + ": " + e.what());
    return;
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
