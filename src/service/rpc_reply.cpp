#include "service/rpc_reply.h"

#include "core/json_codec.h"

#include <atomic>
#include <vector>

#include "core/bytes.h"
#include "service/reply_sink.h"

namespace tolvo {

namespace {

std::string dump(const nlohmann::json& message) {
  // Invalid UTF-8 in a text (say a window title) is replaced rather than failing the answer.
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace


std::string encodeResult(const nlohmann::json& id, nlohmann::json result) {
  nlohmann::json message = nlohmann::json::object();
  message["jsonrpc"] = ServiceProtocol::kJsonRpcVersion;
  message["id"] = id;
  message["result"] = std::move(result);
  std::string text = dump(message);
  json::wipeStrings(message);
  return text;
}

std::string encodeError(const nlohmann::json& id, int code, std::string_view message) {
  nlohmann::json error = nlohmann::json::object();
  error["code"] = code;
  error["message"] = message;
  nlohmann::json envelope = nlohmann::json::object();
  envelope["jsonrpc"] = ServiceProtocol::kJsonRpcVersion;
  envelope["id"] = id;
  envelope["error"] = std::move(error);
  return dump(envelope);
}

struct RpcReply::State {
  std::weak_ptr<ReplySink> sink;
  nlohmann::json id;
  const ServiceProtocol::OperationSpec* operation;
  std::atomic<bool> sent{false};

  State(std::weak_ptr<ReplySink> s, nlohmann::json i, const ServiceProtocol::OperationSpec* op)
      : sink(std::move(s)), id(std::move(i)), operation(op) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  ~State() {
    if (sent.load()) return;
    try {
      deliver(encodeError(id, ServiceProtocol::ErrorCode::internalError, "the service did not answer"));
    } catch (...) {
      // Nothing can be reported from here.
    }
  }

  void deliver(std::string line) const {
    if (auto target = sink.lock()) target->sendReply(std::move(line));
    else secureWipe(line.data(), line.size());
  }
};

RpcReply::RpcReply(std::weak_ptr<ReplySink> sink, nlohmann::json id, const ServiceProtocol::OperationSpec* operation)
    : state_(std::make_shared<State>(std::move(sink), std::move(id), operation)) {}

void RpcReply::send(nlohmann::json result) const {
  if (state_->sent.exchange(true)) {
    json::wipeStrings(result);
    return;
  }
  if (result.is_null()) result = nlohmann::json::object();
  if (result.is_object() && state_->operation != nullptr) {
    for (auto key : state_->operation->resultKeys) {
      if (!result.contains(key)) result[std::string(key)] = nullptr;
    }
  }
  std::string line = encodeResult(state_->id, std::move(result));
  state_->deliver(std::move(line));
}

void RpcReply::sendError(int code, std::string message) const {
  if (state_->sent.exchange(true)) return;
  state_->deliver(encodeError(state_->id, code, message));
}

bool RpcReply::sent() const { return state_->sent.load(); }

}  // namespace tolvo
