#include "support/gate.h"
#include "service/service_listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "scripted_handler.h"
#include "support/raw_client.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

struct stat statOf(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}
mode_t modeOf(const std::filesystem::path& path) { return statOf(path).st_mode & 07777; }

// Matches a ServiceListenerError of this kind whose text matches `text`.
template <typename M>
auto throwsListenerError(ServiceListenerError::Kind kind, M text) {
  return testing::Throws<ServiceListenerError>(testing::AllOf(
      testing::Property(&ServiceListenerError::kind, kind), testing::Property(&ServiceListenerError::what, text)));
}

json request(const json& id, const std::string& method, json params = json::object()) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

// A socket bound at `path` that nobody listens on: left by a dead service, or made by one
// that has bound and not yet listened. The descriptor is the caller's.
int boundSocket(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
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

// A bound socket is private and removed at stop unless replaced; an adopted one is left.
TEST_F(ServiceListenerTest, MakesAPrivateSocketAndRemovesOnlyTheOneItMadeAtStop) {
  auto& listener = startListener();
  EXPECT_EQ(modeOf(socketPath().parent_path()), 0700u);
  EXPECT_EQ(modeOf(socketPath()), 0600u);
  EXPECT_TRUE(S_ISSOCK(statOf(socketPath()).st_mode));
  listener.stop();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));

  // Someone removed it and put another file there: stop() leaves that alone.
  auto& again = startListener();
  std::filesystem::remove(socketPath());
  writeText(socketPath(), "newer");
  again.stop();
  EXPECT_EQ(readText(socketPath()), "newer");

  const auto path = tmp() / "adopted" / "adopted.sock";
  const int fd = boundSocket(path);
  ASSERT_EQ(::listen(fd, 16), 0);
  ServiceListener adopting(factoryFor(script_));
  EXPECT_FALSE(adopting.adoptSystemdSocket());  // LISTEN_FDS is not set here
  adopting.adoptListeningSocket(FileDescriptor(fd));
  EXPECT_EQ(adopting.socketPath(), path);
  adopting.start();
  RawClient client(path);
  client.sendJson(request(1, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("id"), 1);
  adopting.stop();
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(ServiceListenerTest, OneServicePerSocket) {
  // Another service has bound the socket and not yet listened: its socket looks dead, and
  // only the lock it holds tells a second service to keep away.
  const int first = boundSocket(socketPath());
  const int lock = ::open((socketPath().string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const ino_t inode = statOf(socketPath()).st_ino;
  const auto bindSecond = [&] { ServiceListener(factoryFor(script_)).bindSocket(socketPath()); };
  const auto refused = throwsListenerError(ServiceListenerError::Kind::alreadyRunning,
      testing::StrEq("another tolvo-recorder-service is already listening on " + socketPath().string()));
  EXPECT_THAT(bindSecond, refused) << "a second listener took the socket of a service still starting";
  EXPECT_EQ(statOf(socketPath()).st_ino, inode);

  // That service died: its socket is replaced. A service that answers keeps its own.
  ::close(lock);
  ::close(first);
  startListener();
  RawClient client(socketPath());
  client.sendJson(request(1, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("result"), json::parse(R"({"unlocked":false})"));
  EXPECT_THAT(bindSecond, refused) << "a second listener bound a live socket";
  client.sendJson(request(2, "isVaultUnlocked"));
  EXPECT_EQ(client.readJson().at("id"), 2);
  EXPECT_EQ(modeOf(std::filesystem::path(socketPath().string() + ".lock")), 0600u);
}

TEST_F(ServiceListenerTest, RefusesUnsafeLocations) {
  const auto open = tmp() / "open";
  std::filesystem::create_directories(open);
  std::filesystem::permissions(open, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec);
  ServiceListener listener(factoryFor(script_));
  const auto unsafe = [](const char* text) {
    return throwsListenerError(ServiceListenerError::Kind::unsafePath, testing::HasSubstr(text));
  };
  EXPECT_THAT([&] { listener.bindSocket(open / "recorder.sock"); }, unsafe("0750"));
  const auto regular = tmp() / "private" / "recorder.sock";
  std::filesystem::create_directories(regular.parent_path());
  std::filesystem::permissions(regular.parent_path(), std::filesystem::perms::owner_all);
  writeText(regular, "not a socket");
  EXPECT_THAT([&] { listener.bindSocket(regular); }, unsafe("exists and is not a socket"));
  EXPECT_EQ(readText(regular), "not a socket");
  EXPECT_THAT([&] { listener.bindSocket(tmp() / std::string(120, 'a') / "x.sock"); }, unsafe("longer than"));
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
  // Eight requests waiting for their answers: the next one is not read until one is answered.
  for (int i = 0; i < 7; ++i) client.sendJson(request("stop", "stopRecording"));
  client.sendJson(request(4, "isVaultUnlocked"));
  EXPECT_FALSE(client.readLine(300ms)) << "a ninth request in flight was taken";
  gate.open();
  std::multiset<json> answers;
  for (int i = 0; i < 9; ++i) answers.insert(client.readJson());
  EXPECT_EQ(answers.count(json::parse(R"({"jsonrpc":"2.0","id":"stop","result":{"ok":true,"error":null}})")), 8u);
  EXPECT_EQ(answers.count(json::parse(R"({"jsonrpc":"2.0","id":4,"result":{"unlocked":true}})")), 1u);
  // A peer that half-closes still gets every answer, its last line without '\n' too, then
  // the service closes.
  client.sendJson(request("stop", "stopRecording"));
  client.send(request(5, "isVaultUnlocked").dump());
  client.shutdownWrite();
  EXPECT_EQ(std::set<json>({client.readJson().at("id"), client.readJson().at("id")}), std::set<json>({"stop", 5}));
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_TRUE(handlerRanOnItsQueue);
  for (auto& w : workers) w.join();
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
  EXPECT_EQ(script_->created.load(), 2) << "each connection has its own handler";
  gate.open();
  EXPECT_TRUE(eventually([&] { return finished.load() == 1 && script_->alive.load() == 0; }));
  EXPECT_TRUE(eventually([&] { return listener.connectionCount() == 0; }));
  RawClient next(socketPath());
  next.sendJson(request(3, "isVaultUnlocked"));
  EXPECT_EQ(next.readJson().at("id"), 3);
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

}  // namespace
}  // namespace tolvo::test
