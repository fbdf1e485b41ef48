// The real tolvo-recorder-service binary over its socket, driven through libtolvo_client.
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "client/client_error.h"
#include "client/tolvo_client.h"
#include "core/base64.h"
#include "core/json_codec.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "crypto/symmetric_key.h"
#include "db/database_manager.h"
#include "support/sandbox.h"
#include "support/raw_client.h"
#include "support/service_process.h"
#include "support/x_server.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace stdfs = std::filesystem;

double validitySeconds(const UISessionToken& t) { return std::chrono::duration<double>(t.expiresAt - t.createdAt).count(); }

class RecorderServiceTest : public test::SandboxedTest {
 protected:
  // UI test mode: secrets in files under the sandbox, tokens may live one second.
  void start(std::vector<std::string> args = {"--uitest-mode"}) {
    service_ = std::make_unique<test::ServiceProcess>(TOLVO_SERVICE_BINARY, tmp() / "svc" / "recorder.sock", args);
  }
  std::unique_ptr<TolvoClient> connect() { return std::make_unique<TolvoClient>(service_->socketPath()); }

  stdfs::path vaultDir() const { return tmp() / "TolvoDeskUITest" / "AppData" / "Vault"; }
  stdfs::path keychainDir() const { return tmp() / "TolvoDeskUITest" / "keychain"; }

  UISessionToken unlockedToken(TolvoClient& c) {
    auto created = c.createVault("pw", false);
    EXPECT_TRUE(created.ok) << created.error.value_or("");
    auto token = c.mintUISession(600);
    EXPECT_TRUE(token.value.has_value()) << token.error.value_or("");
    return token.value.value_or(UISessionToken{});
  }

  // Fills vault.db under `masterKey` while no service has it open.
  void seedDatabase(const SymmetricKey& masterKey, const std::function<void(DatabaseManager&)>& fill) {
    KeyManager keys;
    keys.setMasterKey(masterKey);
    DatabaseManager db;
    stdfs::create_directories(vaultDir() / "Chunks");
    db.open(vaultDir() / "vault.db", *keys.getDBKeyHex());
    fill(db);
    db.close();
  }

  std::unique_ptr<test::ServiceProcess> service_;
};

TEST_F(RecorderServiceTest, VaultLifecycleAndWrongPasswordChangesNothing) {
  start();
  auto c = connect();
  EXPECT_EQ(c->unlockVaultWithPassword("pw").error, "Vault not found");
  ASSERT_TRUE(c->createVault("pw", /*enableTouchID=*/true).ok);  // no reader in UI test mode: still created
  EXPECT_TRUE(c->vaultExists());
  EXPECT_EQ(c->createVault("other", false), (OkResult{false, "Vault already exists"}));
  EXPECT_TRUE(c->lockVault());
  EXPECT_EQ(c->unlockVaultWithPassword("nope"), (OkResult{false, "Authentication failed: wrong key or altered data"}));
  EXPECT_EQ(c->mintUISession(60).error, "Vault is locked");

  // The password unlock of the UI checks the password without unlocking the vault.
  EXPECT_EQ(c->completeUIUnlockWithPassword("nope").error, "Invalid password");
  const auto uiToken = c->completeUIUnlockWithPassword("pw");
  ASSERT_TRUE(uiToken.value);
  EXPECT_NEAR(validitySeconds(*uiToken.value), 900, 0.01);
  EXPECT_FALSE(c->isVaultUnlocked());
  EXPECT_EQ(c->listSessions(*uiToken.value, 10, 0).error, "Database is not open");

  ASSERT_TRUE(c->unlockVaultWithPassword("pw").ok);
  EXPECT_TRUE(c->isVaultUnlocked());
  EXPECT_TRUE(c->validateUIToken(*uiToken.value)) << "unlocking keeps the tokens of the connection";

  const std::string log = test::readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log");
  EXPECT_EQ(log.find("password length"), std::string::npos) << "nothing derived from the password is logged";
  EXPECT_NE(log.find("] unlockVaultWithPassword failed - Authentication failed: wrong key or altered data\n"),
            std::string::npos);

  ASSERT_TRUE(c->deleteVault().ok);
  EXPECT_FALSE(c->vaultExists());
  EXPECT_FALSE(stdfs::exists(vaultDir()));
}

TEST_F(RecorderServiceTest, TokenRulesPerConnection) {
  start();
  auto a = connect();
  auto b = connect();
  ASSERT_TRUE(a->createVault("pw", false).ok);
  const auto zero = a->mintUISession(0).value;
  ASSERT_TRUE(zero);
  EXPECT_NEAR(validitySeconds(*zero), 1, 0.01) << "UI test mode lowers the minimum to one second";

  const auto token = *a->mintUISession(600).value;
  EXPECT_TRUE(a->listSessions(token, 10, 0).value);
  EXPECT_FALSE(b->validateUIToken(token)) << "a token belongs to the connection that minted it";
  EXPECT_EQ(b->listSessions(token, 10, 0).error, "Invalid or expired token");

  // Expiry: valid strictly before, then a failed validation removes the entry.
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(a->listSessions(*zero, 10, 0).error, "Invalid or expired token");
  EXPECT_FALSE(a->validateUIToken(*zero));
  EXPECT_FALSE(a->validateUIToken(*zero));

  EXPECT_TRUE(a->lockUI(token));
  EXPECT_EQ(a->listChunks(token, "s").error, "Invalid or expired token");
  EXPECT_EQ(a->call("lockUI", {{"token", base64Encode(toBytes("not token json"))}}), Json({{"ok", true}}));

  const auto kept = *a->mintUISession(600).value;
  EXPECT_TRUE(a->lockVault());
  ASSERT_TRUE(a->unlockVaultWithPassword("pw").ok);
  EXPECT_FALSE(a->validateUIToken(kept)) << "locking the vault empties the connection's table";
}

TEST_F(RecorderServiceTest, DataAccessSyncRepairAndDeletionOverTheSocket) {
  const SymmetricKey master = SymmetricKey::random();
  seedDatabase(master, [](DatabaseManager& db) {
    db.createSession({"done", 1000, 5000, 1000});
    db.createSession({"crashed", 6000, std::nullopt, 6000});
    Chunk c;
    c.sessionId = "crashed";
    c.id = "chunk-a";
    c.fileRelpath = "chunk-a.qxv";
    c.startAtMs = 6000;
    c.pageSize = 65536;
    c.codec = "hevc";
    c.width = 640;
    c.height = 480;
    c.fps = 1;
    c.createdAtMs = 6000;
    db.createChunk(c);
    (void)db.createContextInterval({0, "crashed", 6000, 6400, "org.example.Editor", "Editor", "notes.txt", "1"});
    db.createEvent({0, "crashed", 6001, EventType::sessionStarted, std::nullopt});
  });
  // An encrypted chunk file torn by the crash: one whole page and 100 bytes of the next.
  {
    const auto path = vaultDir() / "Chunks" / "chunk-a.qxv";
    QXVWriter writer(path, "chunk-a", KeyManager().deriveChunkKey(master, "chunk-a"));
    writer.write(Bytes(2 * 65536, 0x42));
    (void)writer.finalize();
    stdfs::resize_file(path, 64 + 65536 + 16 + 100);
  }

  start();
  auto c = connect();
  const auto wrongSync = c->syncUnlockedVault(SymmetricKey::random().toData());
  EXPECT_FALSE(wrongSync.ok);
  EXPECT_EQ(wrongSync.error, "Failed to prepare statement: file is encrypted or is not a database");
  EXPECT_FALSE(c->isVaultUnlocked());
  ASSERT_TRUE(c->syncUnlockedVault(master.toData()).ok);
  EXPECT_TRUE(c->isVaultUnlocked());
  const auto token = *c->mintUISession(600).value;
  const auto key1 = c->getChunkKey(token, "chunk-a");
  ASSERT_TRUE(key1.value);

  // A wrong key handed in while unlocked changes nothing: keys, database and tokens stay.
  EXPECT_FALSE(c->syncUnlockedVault(SymmetricKey::random().toData()).ok);
  EXPECT_FALSE(c->syncUnlockedVault(Bytes(5, 1)).ok);
  EXPECT_TRUE(c->isVaultUnlocked());
  EXPECT_EQ(c->getChunkKey(token, "chunk-a").value->bytes(), key1.value->bytes());

  auto sessions = c->listSessions(token, 10, 0);
  ASSERT_TRUE(sessions.value);
  ASSERT_EQ(sessions.value->size(), 2u);
  EXPECT_EQ((*sessions.value)[0].id, "crashed");
  EXPECT_EQ(c->listSessions(token, 1, 1).value->at(0).id, "done");
  const auto missing = c->getSessionDetail(token, "nope");
  EXPECT_FALSE(missing.value);
  EXPECT_FALSE(missing.error);
  EXPECT_EQ(c->listContextIntervals(token, "crashed").value->at(0).windowTitle, "notes.txt");
  EXPECT_EQ(c->listEvents(token, "crashed", 6001, 6001).value->size(), 1u);
  EXPECT_EQ(c->listEvents(token, "crashed", 6002, 9000).value->size(), 0u);

  const SymmetricKey expected = KeyManager().deriveChunkKey(master, "chunk-a");
  EXPECT_EQ(key1.value->bytes(), Bytes(expected.toData().begin(), expected.toData().end()));

  // Repair closes the crashed session; its chunk gets the length of the pages that open.
  EXPECT_EQ(c->repairInterruptedSessions().count, 1);
  const auto repaired = *c->getSessionDetail(token, "crashed").value;
  ASSERT_TRUE(repaired.endedAtMs);
  EXPECT_EQ(c->listChunks(token, "crashed").value->at(0).mp4PlainLen, 65536) << "the torn page is left out";
  EXPECT_EQ(c->repairInterruptedSessions(), (CountResult{0, std::nullopt}));
  EXPECT_EQ(c->deleteSessions(token, {"crashed", "crashed", "ghost"}), (CountResult{2, std::nullopt}));
  EXPECT_FALSE(stdfs::exists(vaultDir() / "Chunks" / "chunk-a.qxv"));

  ASSERT_TRUE(c->syncUnlockedVault(master.toData()).ok);
  EXPECT_EQ(c->listSessions(token, 10, 0).error, "Invalid or expired token") << "sync empties the token table";
  EXPECT_TRUE(c->lockVault());
  EXPECT_EQ(c->repairInterruptedSessions().error, "Vault is locked");
  const auto afterLock = *c->completeUIUnlockWithPassword("irrelevant").error;
  EXPECT_EQ(afterLock, "Invalid password") << "no wrapped key stored: every failure is the same text";
}

// An ECDSA P-256 / SHA-256 signature in DER form, as the application makes one.
Bytes sign(EVP_PKEY* key, ByteView message) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  size_t length = 0;
  EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(ctx, nullptr, &length, message.data(), message.size());
  Bytes signature(length);
  EVP_DigestSign(ctx, signature.data(), &length, message.data(), message.size());
  signature.resize(length);
  EVP_MD_CTX_free(ctx);
  return signature;
}

TEST_F(RecorderServiceTest, ASignatureUnlocksOnlyAnIssuedChallengeOnce) {
  start();
  auto c = connect();
  auto other = connect();
  const auto first = c->requestUIUnlockChallenge();
  ASSERT_TRUE(first.value);
  ASSERT_EQ(first.value->size(), 32u);
  EXPECT_EQ(c->completeUIUnlockWithSignature(first.value->bytes(), Bytes{0x30, 0}, 60).error, "Biometric key not found");

  // The application's key pair: its public point goes where the service keeps it.
  EVP_PKEY* key = EVP_EC_gen("P-256");
  ASSERT_NE(key, nullptr);
  Bytes point(65);
  size_t length = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", point.data(), point.size(), &length), 1);
  test::writeText(keychainDir() / "com.tolvodesk.vault_biometric-public-key", toString(point));

  const Bytes challenge = c->requestUIUnlockChallenge().value->bytes();
  const Bytes signature = sign(key, challenge);
  const Bytes ownChallenge(32, 7);  // signed by the key, but never issued by the service
  const Bytes ownSignature = sign(key, ownChallenge);
  EVP_PKEY_free(key);
  EXPECT_EQ(c->completeUIUnlockWithSignature(ownChallenge, ownSignature, 120).error, "Signature verification failed");
  EXPECT_EQ(c->completeUIUnlockWithSignature(first.value->bytes(), signature, 120).error, "Signature verification failed")
      << "the challenge was used once already";

  // Issued on one connection, signed and used on another: the challenges are the service's.
  const auto token = other->completeUIUnlockWithSignature(challenge, signature, 120);
  ASSERT_TRUE(token.value) << token.error.value_or("");
  EXPECT_NEAR(validitySeconds(*token.value), 120, 0.01);
  EXPECT_FALSE(other->isVaultUnlocked()) << "a signature unlock does not need or open the vault";
  EXPECT_EQ(c->completeUIUnlockWithSignature(challenge, signature, 120).error, "Signature verification failed")
      << "a signature seen once does not unlock again";
}

TEST_F(RecorderServiceTest, SummaryOperationsNeedATokenAndTerminateAnswersThenExits) {
  start();
  auto c = connect();
  EXPECT_EQ(c->call("getSummaries", {{"tokenData", ""}, {"sessionId", "s"}, {"startMs", 0}, {"endMs", 1}}),
            (Json{{"summaries", nullptr}, {"error", "Invalid or expired token"}}));
  EXPECT_EQ(c->call("summaryJobStatus", {{"tokenData", ""}, {"jobId", "j"}}),
            (Json{{"job", nullptr}, {"error", "Invalid or expired token"}}));
  EXPECT_EQ(c->call("terminateService"), Json::object());
  EXPECT_EQ(service_->waitForExit(5000), 0);
}

TEST_F(RecorderServiceTest, PermissionsFollowTheDisplayAndRequestsAnswerAfterLaterRequests) {
  if (!test::XServer::available(test::XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb or openbox missing";
  test::XServer x(root(), {});
  setEnv("DISPLAY", x.display());
  start();
  auto c = connect();
  EXPECT_TRUE(c->checkScreenRecordingPermission());
  EXPECT_TRUE(c->checkAccessibilityPermission());
  EXPECT_TRUE(c->requestScreenRecordingPermission());

  // The accessibility request answers half a second later; a later request is answered first.
  test::RawClient raw(service_->socketPath());
  raw.sendJson({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "requestAccessibilityPermission"}, {"params", Json::object()}});
  raw.sendJson({{"jsonrpc", "2.0"}, {"id", 2}, {"method", "isVaultUnlocked"}, {"params", Json::object()}});
  EXPECT_EQ(Json::parse(raw.readLine().value())["id"], 2);
  const Json late = Json::parse(raw.readLine().value());
  EXPECT_EQ(late["id"], 1);
  EXPECT_EQ(late["result"], (Json{{"trusted", true}}));

  // A display that stops answering is a refusal after two seconds, not a hang.
  x.freeze(true);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->checkScreenRecordingPermission());
  EXPECT_FALSE(c->checkAccessibilityPermission());
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 6s);
  x.freeze(false);

  // A display that cannot be opened grants nothing.
  setEnv("DISPLAY", ":9999");
  test::ServiceProcess blind(TOLVO_SERVICE_BINARY, tmp() / "blind" / "recorder.sock", {"--uitest-mode"});
  c = std::make_unique<TolvoClient>(blind.socketPath());
  EXPECT_FALSE(c->checkScreenRecordingPermission());
  EXPECT_FALSE(c->requestScreenRecordingPermission());
  EXPECT_FALSE(c->checkAccessibilityPermission());
  EXPECT_FALSE(c->requestAccessibilityPermission());
}

}  // namespace
}  // namespace tolvo
