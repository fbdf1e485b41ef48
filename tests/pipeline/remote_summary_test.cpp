#include "pipeline/remote_summary.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "pipeline/date_formats.h"
#include "pipeline/pipeline_error.h"
#include "support/http_test_server.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using nlohmann::json;
using test::HttpAnswer;
using namespace std::chrono_literals;

// "ok: <model> | <text>", or the error's type and description.
std::string outcome(const std::function<SummaryResult()>& call) {
  try {
    const auto result = call();
    return "ok: " + result.modelId + " | " + result.summaryText;
  } catch (const PipelineError& e) {
    return (e.kind() == PipelineError::Kind::remoteTimedOut ? "timeout: " : "failed: ") + std::string(e.what());
  } catch (const DecodingError& e) {
    return "decoding: " + std::string(e.what());
  }
}

class RemoteSummaryTest : public test::SandboxedTest {
 protected:
  RemoteSummaryTest() {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR"}) {
      setEnv(name, std::nullopt);
    }
  }
  // Sends a request with a prompt and `video` as its file; the outcome as text.
  std::string send(const std::string& url, RemoteSummaryTimeouts timeouts = {}, Bytes video = toBytes("mp4")) {
    SummaryRemoteRequest r;
    SummaryRemoteFile file{"a.mp4", "video/mp4", std::move(video)};
    r.input.push_back({"user", {SummaryRemoteText{"Sum \"this\"\n"}, std::move(file)}});
    r.metadata = {"s-1", 1000, 121000, "2m", "brief", "What did I do?", {"Editor", "Terminal"}};
    return outcome([&] { return RemoteSummaryClient(timeouts).performRemoteSummaryRequest(std::move(r), url); });
  }

  test::HttpTestServer server_;
};

TEST_F(RemoteSummaryTest, EndpointAddressesAreRebuiltOrRefused) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"http://example.com", "http://example.com/v1/responses"},
      {"https://example.com/", "https://example.com/v1/responses"},
      {"https://h:8443/api/", "https://h:8443/api/v1/responses"},
      {"http://h//a/b//", "http://h/a/b/v1/responses"},
      {"http://h/v1", "http://h/v1/v1/responses"},
      {"https://h/x/v1/responses", "https://h/x/v1/responses"},
      {"http://h/api?k=v&x=1#part", "http://h/api/v1/responses?k=v&x=1#part"},
      {"http://exa mple.com", std::nullopt}, {"not a url", std::nullopt}, {"", std::nullopt},
      {"example.com/api", std::nullopt}, {"file:///etc/passwd", std::nullopt}, {"ftp://example.com/", std::nullopt}};
  for (const auto& [base, expected] : rows) EXPECT_EQ(summaryEndpointURL(base), expected) << base;

}

TEST_F(RemoteSummaryTest, PromptNamesTheWindowAppsAndTheFirstFiveTitlesCut) {
  const DateFormats dates("en_US", "UTC");
  const SummaryWindowRange window{3'600'000, 3'720'000};
  // 01:00 to 01:02 UTC
  const std::string brief =
      "Summarize this screen-recording window.\nReturn a concise activity summary.\nQuestion: Why?\nWindow: "
      "1:00\u202fAM to 1:02\u202fAM.\nChunk size setting: Every 2 Minutes.";
  EXPECT_EQ(buildRemotePrompt(SummaryPreset::brief, SummaryChunkInterval::twoMinutes, "Why?", {}, window, dates),
            brief + "\nKeep the answer in plain text.");

  std::string accented, combining;
  for (int i = 0; i < 81; ++i) accented += "\u00e9", combining += "e\u0301";
  std::vector<ContextInterval> contexts;
  for (const auto& [app, title] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"Zed", std::nullopt}, {"Alpha", ""}, {"Zed", std::string(100, 'x')}, {"Beta", accented},
           {"Alpha", combining}, {"Alpha", ""}, {"Gamma", "sixth"}}) {
    contexts.push_back({0, "s", 0, 1, "org." + app, app, title, std::nullopt});
  }
  const std::string expectedTitles =
      " | " + std::string(80, 'x') + " | " + accented.substr(0, 160) + " | " + combining.substr(0, 240) + " | ";
  EXPECT_EQ(buildRemotePrompt(SummaryPreset::brief, SummaryChunkInterval::twoMinutes, "Why?", contexts, window, dates),
            brief + "\nApps seen: Alpha, Beta, Gamma, Zed.\nNotable window titles: " +
                expectedTitles + ".\nKeep the answer in plain text.");
  contexts.resize(1);
  EXPECT_EQ(buildRemotePrompt(SummaryPreset::brief, SummaryChunkInterval::twoMinutes, "Why?", contexts, window, dates),
            brief + "\nApps seen: Zed.\nKeep the answer in plain text.");
}

TEST_F(RemoteSummaryTest, RequestOnTheWireHasOnlyTheJSONHeaderAndTheFileInBase64) {
  Bytes video((3u << 20) + 2);  // more than one encoding block, with padding
  std::independent_bits_engine<std::mt19937, 8, unsigned> random(7);
  std::ranges::generate(video, [&] { return static_cast<std::uint8_t>(random()); });
  server_.answer({200, R"({"output_text":"  Did things.\n","model":" gpt-x "})"});
  EXPECT_EQ(send(server_.baseURL() + "/v1/responses", {}, video), "ok: gpt-x | Did things.");

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/v1/responses");
  std::vector<std::string> names;
  for (const auto& [name, value] : requests[0].headers) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Length", "Content-Type", "Host"}));
  EXPECT_EQ(requests[0].headers.at("Content-Type"), "application/json");

  // Every object's exact key set and the content order, with the file's data checked apart.
  json body = json::parse(requests[0].body);
  json& file = body["input"][0]["content"][1];
  EXPECT_EQ(base64Decode(file.value("data", "")), video);
  file.erase("data");
  EXPECT_EQ(body, json::parse(R"({"model":"gpt-4.1-mini","input":[{"role":"user","content":[
      {"type":"input_text","text":"Sum \"this\"\n"},
      {"type":"input_file","filename":"a.mp4","mime_type":"video/mp4"}]}],
      "metadata":{"session_id":"s-1","range_start_ms":1000,"range_end_ms":121000,"chunk_interval":"2m",
      "preset":"brief","question":"What did I do?","app_names":["Editor","Terminal"]}})"));
}

TEST_F(RemoteSummaryTest, AnswersAreTrimmedCheckedAndFailuresDescribed) {
  const std::pair<HttpAnswer, std::string> rows[] = {
      {{200, R"({"output_text":" \n Text\tend \u2003","model":"  "})"}, "ok: remote-summary | Text\tend"},
      {{200, R"({"nested":{"output_text":"no","model":"no"},"model":7,"output_text":"yes"})"},
       "ok: remote-summary | yes"},
      {{200, R"({"output_text":" \n ","model":"m"})"},
       "failed: The summary API request failed: Remote summary response did not include output_text"},
      {{200, R"({"model":"m"})"}, "decoding: The summary API response has no \"output_text\" text"},
      {{200, R"({"output_text":5})"}, "decoding: The summary API response has no \"output_text\" text"},
      {{200, "not json"}, "decoding: The summary API response is not valid JSON"},
      {{200, R"(["output_text"])"}, "decoding: The summary API response is not a JSON object"},
      {{404, "not found"}, "failed: The summary API request failed: HTTP 404: not found"},
      {{500, R"({"error":"down"})"}, "failed: The summary API request failed: HTTP 500: {\"error\":\"down\"}"},
      {{503, ""}, "failed: The summary API request failed: HTTP 503: Empty response"},
      {{500, std::string(20000, 'e')},
       "failed: The summary API request failed: HTTP 500: " + std::string(16384, 'e') + "…"},
      {{500, "\xff\xfe"}, "failed: The summary API request failed: HTTP 500: Empty response"},
      {{302, "moved", {}, {{"Location", "/followed"}}},
       "failed: The summary API request failed: HTTP 302: moved"},
      {{200, std::string((16u << 20) + 1, ' ')},
       "failed: The summary API request failed: The response is longer than 16 MiB"}};
  for (const auto& [answer, expected] : rows) {
    server_.answer(answer);
    EXPECT_EQ(send(server_.baseURL()), expected) << answer.body.substr(0, 80);
  }
  for (const auto& r : server_.requests()) EXPECT_EQ(r.path, "/") << "redirects are not followed";
}

TEST_F(RemoteSummaryTest, TransportFailuresTimeoutsAndVerifiedTLS) {
  test::HttpTestServer stopped;
  stopped.stop();
  EXPECT_TRUE(send(stopped.baseURL()).starts_with("failed: The summary API request failed: Failed to connect"))
      << send(stopped.baseURL());

  server_.answer({200, R"({"output_text":"late"})", 60s});
  const auto requestTimeout = send(server_.baseURL(), {300ms, 60s});
  EXPECT_TRUE(requestTimeout.starts_with("failed: The summary API request failed: Operation timed out after"))
      << requestTimeout;
  EXPECT_EQ(send(server_.baseURL(), {60s, 300ms}), "timeout: The summary API request timed out");

  test::HttpTestServer secure(root());
  secure.answer({200, R"({"output_text":"secret","model":"m"})"});
  const auto untrusted = send(secure.baseURL());
  EXPECT_TRUE(untrusted.starts_with("failed: The summary API request failed: SSL certificate problem")) << untrusted;
  setEnv("SSL_CERT_FILE", secure.caFile().string());
  EXPECT_EQ(send(secure.baseURL()), "ok: m | secret");
}

}  // namespace
}  // namespace tolvo
