#include "support/http_test_server.h"

#include <httplib.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace tolvo::test {

HttpTestServer::HttpTestServer(const std::filesystem::path& certificateDirectory) {
  std::signal(SIGPIPE, SIG_IGN);  // a client that went away must not end the test process
  if (certificateDirectory.empty()) {
    server_ = std::make_unique<httplib::Server>();
  } else {
    caFile_ = certificateDirectory / "server.pem";
    const std::filesystem::path key = certificateDirectory / "server-key.pem";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key.string() + "' -out '" + caFile_.string() +
        "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    server_ = std::make_unique<httplib::SSLServer>(caFile_.c_str(), key.c_str());
  }
  auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    CapturedRequest captured{request.method, request.path, {}, request.body};
    for (const auto& [name, value] : request.headers) {
      // httplib files the peer's addresses among the headers
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) captured.headers.emplace(name, value);
    }
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(captured);
      handler = handler_;
    }
    const HttpAnswer answer = handler ? handler(captured) : HttpAnswer{};
    {
      std::unique_lock lock(mutex_);
      stopping_.wait_for(lock, answer.delay, [this] { return stopped_; });
    }
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    if (!answer.body.empty()) response.set_content(answer.body, "application/json");
  };
  server_->Get(".*", serve).Post(".*", serve);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (!server_->is_valid() || port_ <= 0) throw std::runtime_error("The test HTTP server cannot start");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a server that is already listening.
  while (!server_->is_running()) std::this_thread::yield();
}

HttpTestServer::~HttpTestServer() { stop(); }

void HttpTestServer::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::string HttpTestServer::baseURL() const {
  return std::string(caFile_.empty() ? "http" : "https") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<CapturedRequest> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void HttpTestServer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace tolvo::test
