#include "support/gate.h"
#include "service/service_listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "scripted_handler.h"
#include "support/raw_client.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

json request(const json& id, const std::string& method, json params = json::object()) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

class ServiceListenerTest : public SandboxedTest {
 protected:
  ServiceListenerTest() : script_(std::make_shared<Script>()) {
    script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", false}}); };
    script_->methods["createVault"] = [](const RpcParams& p, RpcReply reply) {
      reply.send({{"ok", true}, {"error", p.text("password")}});
    };
  }

  std::filesystem::path socketPath() const { return tmp() / "tolvodesk" / "recorder.sock"; }

  ServiceListener& startListener() {
    listener_ = std::make_unique<ServiceListener>(factoryFor(script_));
    listener_->bindSocket(socketPath());
    listener_->start();
    return *listener_;
  }

  std::shared_ptr<Script> script_;
  std::unique_ptr<ServiceListener> listener_;
};

TEST_F(ServiceListenerTest, MakesAPrivateDirectoryAndSocketAndRemovesTheSocketAtStop) {
  auto& listener = startListener();
  EXPECT_EQ(listener.socketPath(), socketPath());
  EXPECT_EQ(modeOf(socketPath().parent_path()), 0700u);
  EXPECT_EQ(modeOf(socketPath()), 0600u);
  struct stat st {};
  ASSERT_EQ(::lstat(socketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  listener.stop();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

TEST_F(ServiceListenerTest, ReplacesAStaleSocketButRefusesALiveOne) {
  // A socket file whose listener is gone (a crashed service).
  std::filesystem::create_directories(socketPath().parent_path());
  std::filesystem::permissions(socketPath().parent_path(), std::filesystem::perms::owner_all);
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  ASSERT_TRUE(std::filesystem::exists(socketPath()));
  startListener();
  RawClient client(socketPath());
  client.sendJson(request(1, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("result"), json::parse(R"({"unlocked":false})"));

  ServiceListener second(factoryFor(script_));
  try {
    second.bindSocket(socketPath());
    FAIL() << "a second listener bound a live socket";
  } catch (const ServiceListenerError& e) {
    EXPECT_EQ(e.kind(), ServiceListenerError::Kind::alreadyRunning);
    EXPECT_EQ(std::string(e.what()), "another tolvo-recorder-service is already listening on " + socketPath().string());
  }
  // The first one is untouched and still serves.
  client.sendJson(request(2, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("id"), 2);
}

TEST_F(ServiceListenerTest, RefusesUnsafeLocations) {
  const auto open = tmp() / "open";
  std::filesystem::create_directories(open);
  std::filesystem::permissions(open, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec);
  ServiceListener listener(factoryFor(script_));
  try {
    listener.bindSocket(open / "recorder.sock");
    FAIL() << "bound in a directory others can read";
  } catch (const ServiceListenerError& e) {
    EXPECT_EQ(e.kind(), ServiceListenerError::Kind::unsafePath);
    EXPECT_NE(std::string(e.what()).find("0750"), std::string::npos) << e.what();
  }
  const auto regular = tmp() / "private" / "recorder.sock";
  std::filesystem::create_directories(regular.parent_path());
  std::filesystem::permissions(regular.parent_path(), std::filesystem::perms::owner_all);
  writeText(regular, "not a socket");
  try {
    listener.bindSocket(regular);
    FAIL() << "replaced a regular file";
  } catch (const ServiceListenerError& e) {
    EXPECT_EQ(e.kind(), ServiceListenerError::Kind::unsafePath);
  }
  EXPECT_EQ(readText(regular), "not a socket");
  EXPECT_THROW(listener.bindSocket(tmp() / std::string(120, 'a') / "x.sock"), ServiceListenerError);
}

TEST_F(ServiceListenerTest, LeavesASocketFileThatIsNoLongerItsOwn) {
  auto& listener = startListener();
  // Someone removed ours and put another file there; stop() must not delete it.
  std::filesystem::remove(socketPath());
  writeText(socketPath(), "newer");
  listener.stop();
  EXPECT_EQ(readText(socketPath()), "newer");
}

TEST_F(ServiceListenerTest, EveryErrorLeavesTheConnectionUsable) {
  startListener();
  RawClient client(socketPath());
  const std::vector<std::pair<std::string, int>> cases{
      {"{oops", -32700},
      {"[]", -32600},
      {R"([{"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"}])", -32600},
      {R"({"jsonrpc":"2.0","method":"isVaultUnlocked"})", -32600},
      {R"({"jsonrpc":"2.0","id":3,"method":"noSuchMethod"})", -32601},
      {R"({"jsonrpc":"2.0","id":4,"method":"lockVault"})", -32601},
      {R"({"jsonrpc":"2.0","id":5,"method":"createVault","params":{"password":"p"}})", -32602},
      {R"({"jsonrpc":"2.0","id":6,"method":"createVault","params":{"password":"p","enableTouchID":"yes"}})", -32602},
  };
  int n = 100;
  for (const auto& [line, code] : cases) {
    ASSERT_TRUE(client.sendLine(line));
    auto error = client.readJson();
    EXPECT_EQ(error.at("error").at("code"), code) << line;
    // Still usable:
    client.sendJson(request(n, "isVaultUnlocked"));
    auto ok = client.readJson();
    EXPECT_EQ(ok.at("id"), n);
    EXPECT_EQ(ok.at("result").at("unlocked"), false);
    ++n;
  }
  // Blank lines are skipped, not answered.
  client.send("\n  \n");
  client.sendJson(request("after-blank", "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("id"), "after-blank");
}

TEST_F(ServiceListenerTest, ALineOver16MiBIsRefusedAndTheConnectionCloses) {
  startListener();
  RawClient client(socketPath());
  client.sendJson(request(1, "isVaultUnlocked"));
  // 16 MiB + 1 bytes without a newline, written from another thread since the service stops
  // reading once it has seen enough.
  auto writer = std::async(std::launch::async, [&] {
    std::string big(16 * 1024 * 1024 + 1, 'a');
    return client.send(big + "\n");
  });
  auto first = client.readJson();
  EXPECT_EQ(first.at("id"), 1);
  auto refused = client.readJson(20s);
  EXPECT_EQ(refused.at("id"), nullptr);
  EXPECT_EQ(refused.at("error").at("code"), -32600);
  EXPECT_TRUE(client.closedByPeer());
  (void)writer.get();
  // The service is fine: a new connection works.
  RawClient next(socketPath());
  next.sendJson(request(2, "isVaultUnlocked"));
  EXPECT_EQ(next.readJson().at("id"), 2);
}

TEST_F(ServiceListenerTest, ALineOfExactly16MiBIsAccepted) {
  startListener();
  RawClient client(socketPath());
  // {"jsonrpc":"2.0","id":1,"method":"createVault","params":{"password":"xxx…","enableTouchID":false}}
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"createVault","params":{"enableTouchID":false,"password":")";
  const std::string tail = R"("}})";
  const std::size_t fill = 16 * 1024 * 1024 - head.size() - tail.size();
  auto writer = std::async(std::launch::async, [&] { return client.send(head + std::string(fill, 'p') + tail + "\n"); });
  auto answer = client.readJson(30s);
  ASSERT_TRUE(writer.get());
  EXPECT_EQ(answer.at("id"), 1);
  EXPECT_EQ(answer.at("result").at("error").get<std::string>().size(), fill);
}

TEST_F(ServiceListenerTest, SynchronousAnswersKeepArrivalOrder) {
  script_->methods["getSessionDetail"] = [](const RpcParams& p, RpcReply reply) {
    reply.send({{"session", nullptr}, {"error", p.text("sessionId")}});
  };
  startListener();
  RawClient client(socketPath());
  std::string burst;
  for (int i = 0; i < 500; ++i) {
    burst += request(i, "getSessionDetail", {{"tokenData", ""}, {"sessionId", "s" + std::to_string(i)}}).dump() + "\n";
  }
  ASSERT_TRUE(client.send(burst));
  for (int i = 0; i < 500; ++i) {
    auto answer = client.readJson();
    ASSERT_EQ(answer.at("id"), i);
    EXPECT_EQ(answer.at("result").at("error"), "s" + std::to_string(i));
  }
}

TEST_F(ServiceListenerTest, LateAnswersFromAnotherThreadAreMatchedById) {
  Gate gate;
  std::vector<std::thread> workers;
  std::mutex workersMutex;
  std::atomic<bool> handlerRanOnItsQueue{true};
  std::thread::id firstQueue;
  script_->methods["stopRecording"] = [&](const RpcParams&, RpcReply reply) {
    std::lock_guard lock(workersMutex);
    workers.emplace_back([&gate, reply] {
      gate.wait();
      reply.send({{"ok", true}, {"error", nullptr}});
    });
  };
  script_->methods["isVaultUnlocked"] = [&](const RpcParams&, RpcReply reply) {
    if (firstQueue == std::thread::id()) firstQueue = std::this_thread::get_id();
    else if (firstQueue != std::this_thread::get_id()) handlerRanOnItsQueue = false;
    reply.send({{"unlocked", true}});
  };
  startListener();
  RawClient client(socketPath());
  client.sendJson(request("stop", "stopRecording"));
  client.sendJson(request(2, "isVaultUnlocked"));
  client.sendJson(request(3, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("id"), 2);
  EXPECT_EQ(client.readJson().at("id"), 3);
  gate.open();
  auto late = client.readJson();
  EXPECT_EQ(late, json::parse(R"({"jsonrpc":"2.0","id":"stop","result":{"ok":true,"error":null}})"));
  EXPECT_TRUE(handlerRanOnItsQueue);
  for (auto& w : workers) w.join();
}

TEST_F(ServiceListenerTest, ConnectionsHaveTheirOwnHandlersAndRunConcurrently) {
  Gate gate;
  script_->methods["unlockVaultWithPassword"] = [&](const RpcParams&, RpcReply reply) {
    gate.wait();
    reply.send({{"ok", true}});
  };
  auto& listener = startListener();
  RawClient slow(socketPath());
  RawClient fast(socketPath());
  slow.sendJson(request(1, "unlockVaultWithPassword", {{"password", "x"}}));
  fast.sendJson(request(2, "isVaultUnlocked"));
  EXPECT_EQ(fast.readJson().at("id"), 2);  // not held up by the other connection's slow call
  EXPECT_TRUE(eventually([&] { return listener.connectionCount() == 2; }));
  EXPECT_EQ(script_->created.load(), 2);
  gate.open();
  EXPECT_EQ(slow.readJson().at("id"), 1);
  slow.close();
  fast.close();
  EXPECT_TRUE(eventually([&] { return script_->alive.load() == 0; }));
  EXPECT_EQ(listener.connectionCount(), 0u);
}

TEST_F(ServiceListenerTest, APeerThatVanishesMidRequestHarmsNothing) {
  Gate gate;
  std::atomic<int> finished{0};
  script_->methods["unlockVaultWithPassword"] = [&](const RpcParams&, RpcReply reply) {
    gate.wait();
    reply.send({{"ok", true}});  // the peer is gone by now
    finished.fetch_add(1);
  };
  auto& listener = startListener();
  {
    RawClient client(socketPath());
    client.sendJson(request(1, "unlockVaultWithPassword", {{"password", "x"}}));
    client.sendJson(request(2, "isVaultUnlocked"));
  }  // closed while the first call is still running
  // Meanwhile other peers are served.
  {
    RawClient other(socketPath());
    other.sendJson(request(7, "isVaultUnlocked"));
    EXPECT_EQ(other.readJson().at("id"), 7);
  }
  gate.open();
  EXPECT_TRUE(eventually([&] { return finished.load() == 1 && script_->alive.load() == 0; }));
  EXPECT_TRUE(eventually([&] { return listener.connectionCount() == 0; }));
  RawClient next(socketPath());
  next.sendJson(request(3, "isVaultUnlocked"));
  EXPECT_EQ(next.readJson().at("id"), 3);
}

TEST_F(ServiceListenerTest, AHalfClosedPeerStillGetsEveryAnswer) {
  Gate gate;
  script_->methods["stopRecording"] = [&](const RpcParams&, RpcReply reply) {
    std::thread([&gate, reply] {
      gate.wait();
      reply.send({{"ok", true}});
    }).detach();
  };
  startListener();
  RawClient client(socketPath());
  client.sendJson(request(1, "stopRecording"));
  client.send(request(2, "isVaultUnlocked").dump());  // last line without '\n'
  client.shutdownWrite();
  EXPECT_EQ(client.readJson().at("id"), 2);
  gate.open();
  EXPECT_EQ(client.readJson().at("id"), 1);
  EXPECT_TRUE(client.closedByPeer());  // closed once nothing is left to answer
}

TEST_F(ServiceListenerTest, StopWaitsForRunningCallsAndDestroysHandlers) {
  Gate gate;
  std::atomic<bool> finished{false};
  script_->methods["unlockVaultWithPassword"] = [&](const RpcParams&, RpcReply reply) {
    gate.wait();
    finished = true;
    reply.send({{"ok", true}});
  };
  auto& listener = startListener();
  RawClient client(socketPath());
  client.sendJson(request(1, "unlockVaultWithPassword", {{"password", "x"}}));
  ASSERT_TRUE(eventually([&] { return listener.connectionCount() == 1; }));
  std::this_thread::sleep_for(50ms);
  auto stopping = std::async(std::launch::async, [&] { listener.stop(); });
  EXPECT_EQ(stopping.wait_for(100ms), std::future_status::timeout);
  gate.open();
  stopping.get();
  EXPECT_TRUE(finished);
  EXPECT_EQ(script_->alive.load(), 0);
  EXPECT_TRUE(client.closedByPeer());
}

TEST_F(ServiceListenerTest, APeerThatDoesNotReadIsHeldBackInsteadOfBuffered) {
  const std::string big(1024 * 1024, 'r');
  script_->methods["getSessionDetail"] = [&](const RpcParams&, RpcReply reply) {
    reply.send({{"session", nullptr}, {"error", big}});
  };
  startListener();
  RawClient client(socketPath());
  // Requests padded with an ignored 4 KiB parameter, written without reading a single
  // answer; a write that cannot finish within a second counts as held back. With 1 MiB
  // answers the service stops reading after 16 MiB of unread answers, so the socket fills up
  // long before 400 requests; a service that kept reading would take them all (and hold
  // 400 MiB of answers).
  timeval oneSecond{1, 0};
  ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &oneSecond, sizeof oneSecond), 0);
  const std::string pad(4096, 'p');
  int sent = 0;
  std::string rest;
  for (; sent < 400; ++sent) {
    std::string line = request(sent, "getSessionDetail", {{"tokenData", ""}, {"sessionId", "s"}, {"pad", pad}}).dump() + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::send(client.fd(), line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) << std::strerror(errno);
      break;
    }
    if (done < line.size()) {
      rest = line.substr(done);
      break;
    }
  }
  EXPECT_LT(sent, 400);
  // The rest of the held-back line goes out once the service reads again, however long the
  // answers take to read (a sanitizer build is slow): no send timeout from here on.
  timeval noTimeout{0, 0};
  ASSERT_EQ(::setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &noTimeout, sizeof noTimeout), 0);
  auto finish = std::async(std::launch::async, [&] { return client.send(rest); });
  const int expected = sent + 1;
  for (int i = 0; i < expected; ++i) {
    auto answer = client.readJson();
    ASSERT_EQ(answer.at("id"), i);
    ASSERT_EQ(answer.at("result").at("error").get<std::string>().size(), big.size());
  }
  EXPECT_TRUE(finish.get());
}

TEST_F(ServiceListenerTest, AdoptsAnAlreadyListeningSocketAndLeavesItsFile) {
  const auto path = tmp() / "adopted.sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 16), 0);
  ServiceListener listener(factoryFor(script_));
  EXPECT_FALSE(listener.adoptSystemdSocket());  // LISTEN_FDS is not set here
  listener.adoptListeningSocket(FileDescriptor(fd));
  EXPECT_EQ(listener.socketPath(), path);
  listener.start();
  {
    RawClient client(path);
    client.sendJson(request(1, "isVaultUnlocked"));
    EXPECT_EQ(client.readJson().at("id"), 1);
  }
  listener.stop();
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tolvo::test
