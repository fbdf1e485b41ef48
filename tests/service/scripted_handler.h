#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "service/connection_handler.h"

namespace tolvo::test {

// A ConnectionHandler whose methods are lambdas given by the test. All handlers made by one
// factory share the script and the counters.
struct Script {
  using Method = std::function<void(const RpcParams&, RpcReply)>;
  std::map<std::string, Method, std::less<>> methods;
  std::atomic<int> alive{0};
  std::atomic<int> created{0};
};

class ScriptedHandler final : public ConnectionHandler {
 public:
  explicit ScriptedHandler(std::shared_ptr<Script> script) : script_(std::move(script)) {
    script_->alive.fetch_add(1);
    script_->created.fetch_add(1);
  }
  ~ScriptedHandler() override { script_->alive.fetch_sub(1); }
  [[nodiscard]] bool handles(std::string_view method) const override {
    return script_->methods.find(method) != script_->methods.end();
  }
  void handle(std::string_view method, const RpcParams& params, RpcReply reply) override {
    script_->methods.find(method)->second(params, std::move(reply));
  }

 private:
  std::shared_ptr<Script> script_;
};

inline ConnectionHandlerFactory factoryFor(std::shared_ptr<Script> script) {
  return [script] { return std::make_unique<ScriptedHandler>(script); };
}

}  // namespace tolvo::test
