#include "support/http_test_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <csignal>
#include <stdexcept>

#include "core/handle.h"

namespace tolvo::test {

namespace {

using Key = Handle<EVP_PKEY, EVP_PKEY_free>;
using Certificate = Handle<X509, X509_free>;
using Extension = Handle<X509_EXTENSION, X509_EXTENSION_free>;
using File = Handle<BIO, BIO_free_all>;

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("Cannot make the test certificate: " + what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  check(extension && X509_add_ext(certificate, extension.get(), -1) == 1, value);
}

// A certificate for `key` named `commonName`, valid from an hour ago for a day, signed by
// `issuer` (itself when null) with `issuerKey`.
Certificate makeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long serial) {
  Certificate certificate(X509_new());
  X509* c = certificate.get();
  check(c != nullptr && X509_set_version(c, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(c), 86400) != nullptr && X509_set_pubkey(c, key) == 1,
        "fields");
  X509_NAME* name = X509_get_subject_name(c);
  check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0) == 1 &&
            X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1,
        "names");
  X509* signer = issuer != nullptr ? issuer : c;
  addExtension(c, signer, NID_subject_key_identifier, "hash");
  if (issuer == nullptr) {
    addExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    addExtension(c, signer, NID_basic_constraints, "CA:FALSE");
    addExtension(c, signer, NID_key_usage, "critical,digitalSignature");
    addExtension(c, signer, NID_ext_key_usage, "serverAuth");
    addExtension(c, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
  }
  check(X509_sign(c, issuerKey, EVP_sha256()) > 0, "signature");
  return certificate;
}

void writePEM(const std::filesystem::path& path, X509* certificate, EVP_PKEY* key) {
  File file(BIO_new_file(path.c_str(), "w"));
  check(bool(file), path.string());
  const bool written = certificate != nullptr
                           ? PEM_write_bio_X509(file.get(), certificate) == 1
                           : PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  check(written && BIO_flush(file.get()) == 1, path.string());
}

}  // namespace

std::optional<std::string> CapturedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

HttpTestServer::HttpTestServer(Scheme scheme, const std::filesystem::path& certificateDirectory) : scheme_(scheme) {
  std::signal(SIGPIPE, SIG_IGN);  // a client that went away must not end the test process
  if (scheme == Scheme::https) {
    if (certificateDirectory.empty()) throw std::invalid_argument("HTTPS needs a certificate directory");
    Key caKey(EVP_EC_gen("P-256"));
    Key serverKey(EVP_EC_gen("P-256"));
    check(caKey && serverKey, "keys");
    const Certificate ca = makeCertificate("Tolvo Test CA", caKey.get(), nullptr, caKey.get(), 1);
    const Certificate leaf = makeCertificate("127.0.0.1", serverKey.get(), ca.get(), caKey.get(), 2);
    caFile_ = certificateDirectory / "test-ca.pem";
    writePEM(caFile_, ca.get(), nullptr);
    writePEM(certificateDirectory / "server.pem", leaf.get(), nullptr);
    writePEM(certificateDirectory / "server-key.pem", nullptr, serverKey.get());
    server_ = std::make_unique<httplib::SSLServer>((certificateDirectory / "server.pem").c_str(),
                                                   (certificateDirectory / "server-key.pem").c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) throw std::runtime_error("The test HTTP server cannot start");

  auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    const auto mark = request.target.find('?');
    CapturedRequest captured{request.method,
                             request.path,
                             mark == std::string::npos ? std::string() : request.target.substr(mark + 1),
                             {},
                             request.body};
    for (const auto& [name, value] : request.headers) {
      // httplib files the peer's addresses among the headers
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) captured.headers.emplace(name, value);
    }
    const HttpAnswer answer = handle(captured);
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    if (!answer.body.empty()) response.set_content(answer.body, answer.contentType.c_str());
  };
  server_->Get(".*", serve).Post(".*", serve).Put(".*", serve).Patch(".*", serve).Delete(".*", serve);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("The test HTTP server cannot bind to 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only ends a server that is already listening.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

HttpTestServer::~HttpTestServer() { stop(); }

void HttpTestServer::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void HttpTestServer::answer(HttpAnswer answer) {
  setHandler([answer = std::move(answer)](const CapturedRequest&) { return answer; });
}

std::string HttpTestServer::baseURL() const {
  return std::string(scheme_ == Scheme::https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
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

HttpAnswer HttpTestServer::handle(const CapturedRequest& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    handler = handler_;
  }
  HttpAnswer answer = handler ? handler(request) : HttpAnswer{};
  std::unique_lock lock(mutex_);
  stopping_.wait_for(lock, answer.delay, [this] { return stopped_; });
  return answer;
}

}  // namespace tolvo::test
