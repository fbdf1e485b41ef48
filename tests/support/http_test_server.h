#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tolvo::test {

// One request as the server received it (header names as sent).
struct CapturedRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;
  std::string body;
};

// What the server answers (a JSON body), after `delay` (cut short by stop()).
struct HttpAnswer {
  HttpAnswer(int statusCode = 200, std::string text = {}, std::chrono::milliseconds wait = {},
             std::map<std::string, std::string> extraHeaders = {})
      : status(statusCode), body(std::move(text)), delay(wait), headers(std::move(extraHeaders)) {}
  int status;
  std::string body;
  std::chrono::milliseconds delay;
  std::map<std::string, std::string> headers;
};

// A loopback HTTP server on 127.0.0.1 and a free port, serving from its own threads; HTTPS when
// given a directory, where a self-signed certificate for 127.0.0.1 is made (caFile(), to trust
// through SSL_CERT_FILE). Every request is recorded and answered by the handler (200 with an
// empty body until one is set).
class HttpTestServer {
 public:
  using Handler = std::function<HttpAnswer(const CapturedRequest&)>;

  explicit HttpTestServer(const std::filesystem::path& certificateDirectory = {});
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;
  ~HttpTestServer();

  // The handler runs on a server thread.
  void setHandler(Handler handler);
  void answer(HttpAnswer answer) {
    setHandler([answer = std::move(answer)](const CapturedRequest&) { return answer; });
  }

  [[nodiscard]] std::string baseURL() const;
  [[nodiscard]] const std::filesystem::path& caFile() const { return caFile_; }
  [[nodiscard]] std::vector<CapturedRequest> requests() const;

  // Releases delayed answers and stops serving; the destructor calls it.
  void stop();

 private:
  std::filesystem::path caFile_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  Handler handler_;
  std::vector<CapturedRequest> requests_;
};

}  // namespace tolvo::test
