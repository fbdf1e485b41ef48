#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tolvo::test {

// One request as the server received it.
struct CapturedRequest {
  std::string method;
  std::string path;                                 // without the query
  std::string query;                                // the text after "?", as sent
  std::multimap<std::string, std::string> headers;  // names as sent
  std::string body;

  // The value of the header `name` (any case), or nothing when it was not sent.
  [[nodiscard]] std::optional<std::string> header(const std::string& name) const;
};

// What the server answers.
struct HttpAnswer {
  HttpAnswer(int statusCode = 200, std::string text = {}, std::chrono::milliseconds wait = {})
      : status(statusCode), body(std::move(text)), delay(wait) {}
  // This answer with one more header.
  [[nodiscard]] HttpAnswer withHeader(const std::string& name, const std::string& value) const {
    HttpAnswer answer = *this;
    answer.headers.emplace(name, value);
    return answer;
  }

  int status;
  std::string body;
  std::chrono::milliseconds delay;  // waited before answering (cut short by stop())
  std::string contentType = "application/json";
  std::multimap<std::string, std::string> headers;  // added to the answer's own
};

// A loopback HTTP or HTTPS server on 127.0.0.1 and a free port, serving from its own threads.
// Every request of any method and path is recorded and answered by the handler (by default
// 200 with an empty body). For HTTPS a fresh CA and a server certificate for 127.0.0.1 and
// localhost are made in `certificateDirectory`; caFile() is the CA to trust (SSL_CERT_FILE).
class HttpTestServer {
 public:
  enum class Scheme { http, https };
  using Handler = std::function<HttpAnswer(const CapturedRequest&)>;

  explicit HttpTestServer(Scheme scheme = Scheme::http, const std::filesystem::path& certificateDirectory = {});
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;
  ~HttpTestServer();

  // Replaces the handler; it runs on a server thread.
  void setHandler(Handler handler);
  // Answers every request with `answer`.
  void answer(HttpAnswer answer);

  // "http://127.0.0.1:PORT" (or https).
  [[nodiscard]] std::string baseURL() const;
  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] const std::filesystem::path& caFile() const { return caFile_; }
  // The requests received so far, in order of arrival.
  [[nodiscard]] std::vector<CapturedRequest> requests() const;

  // Releases delayed answers and stops serving; the destructor calls it.
  void stop();

 private:
  HttpAnswer handle(const CapturedRequest& request);

  Scheme scheme_;
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
