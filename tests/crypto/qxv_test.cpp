#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <set>

#include "core/error.h"
#include "crypto/cipher_error.h"
#include "crypto/qxv_error.h"
#include "crypto/qxv_reader.h"
#include "crypto/qxv_writer.h"
#include "crypto_test_util.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using test::errorCode;
using test::errorText;
using test::patternBytes;
using test::readFileBytes;
using test::writeFileBytes;

constexpr std::uint64_t kPage = 65536;
constexpr std::uint64_t kSealed = 65552;
constexpr const char* kId = "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90";
constexpr const char* kAuthFailed = "Authentication failed: wrong key or altered data";

class QXVTest : public test::SandboxedTest {
 protected:
  std::filesystem::path file(const std::string& name) const { return tmp() / name; }

  // Writes `data` in one call and returns the path.
  std::filesystem::path writeFile(const std::string& name, ByteView data, const std::string& id = kId) {
    QXVWriter writer(file(name), id, key_);
    writer.write(data);
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(data.size()));
    return file(name);
  }

  static std::uint64_t sizeOf(const std::filesystem::path& p) { return std::filesystem::file_size(p); }

  const SymmetricKey key_ = SymmetricKey::random();
};

// ---- Writer -------------------------------------------------------------------------

// Each size is written in one call and in uneven pieces, over the previous file (at first a
// larger 0644 one): after every call the file ends at a page boundary (no unsealed plaintext
// reaches the disk), finalize seals the short last page; the file is private, its header names
// the kind and the chunk, and every file gets its own nonce base.
TEST_F(QXVTest, WriterSealsWholePagesAsTheyFillAndTheRestAtFinalize) {
  const std::filesystem::path path = file("w.qxv");
  test::writeText(path, std::string(200000, 'x'));
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  const struct {
    const char* name;
    std::size_t size;
    bool artifact;
    std::uint64_t sizeBeforeFinalize, fileSize;
  } rows[] = {
      {"empty", 0, false, 64, 64},
      {"one byte", 1, false, 64, 81},
      {"one page", 65536, false, 64 + 65552, 64 + 65552},
      {"one byte over a page", 65537, false, 64 + 65552, 64 + 65552 + 17},
      {"artifact of 3 pages and a bit", 3 * 65536 + 4321, true, 64 + 3 * 65552, 64 + 3 * 65552 + 4321 + 16},
  };
  const std::size_t pieces[] = {1, 7, 4096, 65535, 2, 65536, 131073, 3};
  std::set<Bytes> nonceBases;
  for (const auto& row : rows) {
    for (bool inPieces : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (inPieces ? " in pieces" : " at once"));
      const Bytes data = patternBytes(row.size, 3);
      QXVWriter writer(path, kId, key_, row.artifact);
      std::size_t at = 0;
      for (std::size_t i = 0; i == 0 || at < data.size(); ++i) {
        const std::size_t n = inPieces ? std::min(pieces[i % std::size(pieces)], data.size() - at) : data.size();
        writer.write(ByteView(data).subspan(at, n));
        at += n;
        EXPECT_EQ((sizeOf(path) - 64) % kSealed, 0u);
        EXPECT_EQ(writer.plaintextBytesWritten(), static_cast<std::int64_t>(at / kPage * kPage));
      }
      EXPECT_EQ(sizeOf(path), row.sizeBeforeFinalize);
      EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(row.size));
      const Bytes bytes = readFileBytes(path);
      ASSERT_EQ(bytes.size(), row.fileSize);
      EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 10),
                test::fromHex(row.artifact ? "51584131 01 00000100 00" : "51585631 01 00000100 00"));
      EXPECT_EQ(toString(ByteView(bytes).subspan(18, 36)), kId);
      EXPECT_TRUE(nonceBases.insert(Bytes(bytes.begin() + 10, bytes.begin() + 18)).second);
      using std::filesystem::perms;
      EXPECT_EQ(std::filesystem::status(path).permissions(), perms::owner_read | perms::owner_write);
      EXPECT_EQ(QXVReader(path, key_).readRange(0, std::ssize(data), std::ssize(data)), data);
    }
  }
}

// Identifiers that do not round-trip are refused before the file is touched; file system errors
// pass through.
TEST_F(QXVTest, BadIdentifiersAreRefusedAndFileSystemErrorsPassThrough) {
  for (const char* id : {"0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90X", " abc", "abc\t", "abc\xff"}) {
    EXPECT_EQ(errorCode<QXVError>([&] { QXVWriter w(file("bad.qxv"), id, key_); }), QXVError::Code::invalidHeader) << id;
    EXPECT_FALSE(std::filesystem::exists(file("bad.qxv"))) << id;
  }
  const Bytes before = readFileBytes(writeFile("real.qxv", patternBytes(100)));
  std::filesystem::create_symlink(file("real.qxv"), file("link.qxv"));
  EXPECT_EQ(errorCode<SystemError>([&] { QXVWriter w(file("link.qxv"), kId, key_); }), ELOOP);
  EXPECT_EQ(errorCode<SystemError>([&] { QXVReader r(file("link.qxv"), key_); }), ELOOP);
  EXPECT_EQ(readFileBytes(file("real.qxv")), before);
  EXPECT_EQ(errorCode<SystemError>([&] { QXVWriter w(file("no/such/dir.qxv"), kId, key_); }), ENOENT);
  EXPECT_EQ(errorCode<SystemError>([&] { QXVReader r(file("absent.qxv"), key_); }), ENOENT);

  QXVWriter writer(file("done.qxv"), kId, key_);
  EXPECT_EQ(writer.finalize(), 0);
  EXPECT_EQ(errorCode<SystemError>([&] { writer.write(patternBytes(1)); }), EBADF);
  EXPECT_EQ(errorCode<SystemError>([&] { (void)writer.finalize(); }), EBADF);
  EXPECT_EQ(sizeOf(file("done.qxv")), 64u);
  QXVReader reader(file("real.qxv"), key_);
  reader.close();
  EXPECT_EQ(errorCode<SystemError>([&] { (void)reader.readPage(0, 100); }), EBADF);
}

// Runs `f` with the file-size limit lowered to `bytes`: writes past it fail with EFBIG, as on
// a full disk.
template <typename F>
void withFileSizeLimit(rlim_t bytes, F&& f) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const sighandler_t handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = old;
  limit.rlim_cur = bytes;
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  f();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, handler);
}

TEST_F(QXVTest, AFailedWriteEndsTheStreamAtTheLastGoodPage) {
  const Bytes data = patternBytes(3 * kPage + 500, 1);
  QXVWriter writer(file("full.qxv"), kId, key_);
  withFileSizeLimit(64 + kSealed + 1000, [&] {  // room for one page and a bit
    EXPECT_EQ(errorCode<SystemError>([&] { writer.write(data); }), EFBIG);
  });
  EXPECT_EQ(sizeOf(file("full.qxv")), 64u + kSealed);
  // With room again, nothing more may follow the failed page: the stream would have a hole.
  EXPECT_EQ(errorCode<SystemError>([&] { writer.write(patternBytes(10, 2)); }), EFBIG);
  EXPECT_EQ(writer.finalize(), 65536);
  EXPECT_EQ(sizeOf(file("full.qxv")), 64u + kSealed);
  EXPECT_EQ(QXVReader(file("full.qxv"), key_).readRange(0, 65536, 65536), Bytes(data.begin(), data.begin() + kPage));

  // The last partial page failing at finalize: reported once, then the file closes clean.
  QXVWriter last(file("last.qxv"), kId, key_);
  last.write(Bytes(data.begin(), data.begin() + kPage + 10));
  withFileSizeLimit(64 + kSealed + 20, [&] {
    EXPECT_EQ(errorCode<SystemError>([&] { (void)last.finalize(); }), EFBIG);
  });
  EXPECT_EQ(last.finalize(), 65536);
  EXPECT_EQ(sizeOf(file("last.qxv")), 64u + kSealed);
}

// ---- Reader -------------------------------------------------------------------------

class QXVRangeTest : public QXVTest {
 protected:
  void SetUp() override { path_ = writeFile("range.qxv", data_); }
  Bytes slice(std::uint64_t begin, std::uint64_t end) const {
    return Bytes(data_.begin() + static_cast<std::ptrdiff_t>(begin), data_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  const Bytes data_ = patternBytes(3 * kPage + 1000, 7);  // pages 0-2 full, page 3 holds 1000
  const std::int64_t total_ = static_cast<std::int64_t>(3 * kPage + 1000);
  std::filesystem::path path_;
};

TEST_F(QXVRangeTest, RangesReturnExactlyTheirBytesAndOpenOnlyTheirPages) {
  const struct {
    std::int64_t offset, length;
    std::uint64_t pages;  // 0: an empty result
  } rows[] = {
      {0, 1, 1},           {65535, 2, 2},      {65530, 12, 2},         {65536, 65536, 1},
      {100, 3 * 65536, 4}, {3 * 65536 + 999, 1, 1}, {3 * 65536 + 500, 100000, 1},  // clipped at the end
      {0, total_, 4},      {total_, 10, 0},    {total_ + 5, 10, 0},    {0, 0, 0},
      {5, -3, 0},          {-1, 10, 0},
  };
  for (const auto& row : rows) {
    QXVReader reader(path_, key_);
    const Bytes expected =
        row.pages == 0 ? Bytes{}
                       : slice(static_cast<std::uint64_t>(row.offset),
                               static_cast<std::uint64_t>(std::min(row.offset + row.length, total_)));
    EXPECT_EQ(reader.readRange(row.offset, row.length, total_), expected) << row.offset << "+" << row.length;
    EXPECT_EQ(reader.pagesDecrypted(), row.pages) << row.offset << "+" << row.length;
  }
}

TEST_F(QXVRangeTest, PageAndTotalLengthsMustFitTheFile) {
  QXVReader reader(path_, key_);
  EXPECT_EQ(reader.readPage(2), slice(2 * kPage, 3 * kPage));
  EXPECT_EQ(reader.readPage(3, 1000), slice(3 * kPage, data_.size()));
  // readPage defaults to the header's page size, which runs past the end for the last page.
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(3); }), QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(4, 1); }), QXVError::Code::readFailed);
  EXPECT_EQ(reader.pagesDecrypted(), 2u);

  // A wrong total length fails the last page.
  EXPECT_EQ(errorText([&] { (void)reader.readRange(0, total_, total_ - 1); }), kAuthFailed);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange(0, total_ + 1, total_ + 1); }),
            QXVError::Code::invalidPage);
  EXPECT_EQ(reader.readRange(10, 10, total_ - 1), slice(10, 20));  // earlier pages do not depend on it

  // A file cut inside a page looks like a shorter file whose last page does not authenticate.
  std::filesystem::resize_file(path_, 64 + 2 * kSealed + 3000);
  const std::int64_t cutTotal = 2 * 65536 + 3000 - 16;
  QXVReader cut(path_, key_);
  EXPECT_EQ(cut.readRange(0, 2 * 65536, cutTotal), slice(0, 2 * kPage));
  EXPECT_EQ(errorCode<CipherError>([&] { (void)cut.readRange(0, cutTotal, cutTotal); }),
            CipherError::Code::authenticationFailure);
}

// Each row damages the file (or opens it with another key) and names the error of each page
// (nullptr: the page opens); reading the whole file fails with the first page's error.
TEST_F(QXVRangeTest, DamageFailsExactlyTheAffectedPages) {
  constexpr const char* kShort = "Invalid encrypted page";
  constexpr const char* kMissing = "Failed to read from QXV file";
  auto flip = [](std::uint64_t offset, std::uint8_t mask) { return [=](Bytes& b) { b.at(offset) ^= mask; }; };
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    bool otherKey;
    std::array<const char*, 4> pages;
  } rows[] = {
      {"tag byte of page 1", flip(64 + kSealed + kPage + 5, 0x01), false, {nullptr, kAuthFailed, nullptr, nullptr}},
      {"ciphertext byte of page 2", flip(64 + 2 * kSealed + 777, 0x40), false,
       {nullptr, nullptr, kAuthFailed, nullptr}},
      {"pages 0 and 1 swapped",
       [](Bytes& b) { std::swap_ranges(b.begin() + 64, b.begin() + 64 + kSealed, b.begin() + 64 + kSealed); }, false,
       {kAuthFailed, kAuthFailed, nullptr, nullptr}},
      {"first nonce base byte", flip(10, 0x20), false, {kAuthFailed, kAuthFailed, kAuthFailed, kAuthFailed}},
      {"last nonce base byte", flip(17, 0x20), false, {kAuthFailed, kAuthFailed, kAuthFailed, kAuthFailed}},
      {"first id byte", flip(18, 0x20), false, {kAuthFailed, kAuthFailed, kAuthFailed, kAuthFailed}},
      {"last id byte", flip(53, 0x01), false, {kAuthFailed, kAuthFailed, kAuthFailed, kAuthFailed}},
      {"cut inside page 1", [](Bytes& b) { b.resize(64 + kSealed + 100); }, false,
       {nullptr, kShort, kMissing, kMissing}},
      {"other key", [](Bytes&) {}, true, {kAuthFailed, kAuthFailed, kAuthFailed, kAuthFailed}},
  };
  const Bytes original = readFileBytes(path_);
  for (const auto& row : rows) {
    Bytes bytes = original;
    row.damage(bytes);
    writeFileBytes(path_, bytes);
    QXVReader reader(path_, row.otherKey ? SymmetricKey::random() : key_);
    const char* first = "no error";
    std::uint64_t opened = 0;
    for (std::uint32_t page = 4; page-- > 0;) {
      const std::uint32_t size = page == 3 ? 1000 : 65536;
      if (row.pages[page] == nullptr) {
        EXPECT_EQ(reader.readPage(page, size), slice(page * kPage, page * kPage + size)) << row.name << " " << page;
        ++opened;
      } else {
        EXPECT_EQ(errorText([&] { (void)reader.readPage(page, size); }), row.pages[page]) << row.name << " " << page;
        first = row.pages[page];
      }
    }
    EXPECT_EQ(reader.pagesDecrypted(), opened) << row.name;  // failed pages do not count
    EXPECT_EQ(errorText([&] { (void)reader.readRange(0, total_, total_); }), first) << row.name;
  }
}

// Key 00 01 … 1f, nonce base 01 … 08, chunk id "abcdefghij", plaintext "hello, QXV" (bytes made
// independently with python3-cryptography).
TEST_F(QXVTest, KnownAnswerFile) {
  writeFileBytes(file("example.qxv"), test::fromHex("51585631010000010000010203040506 0708616263646566676869 6a20202020"
                                                    "20202020202020202020202020202020 202020202020 00000000000000000000"
                                                    "e27a42dce23bd53ad49e 995beb847dbe8b7f3abc80985ae4d523"));
  QXVReader reader(file("example.qxv"),
                   SymmetricKey(test::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")));
  EXPECT_EQ(reader.header().chunkId, "abcdefghij");
  EXPECT_EQ(toString(reader.readRange(0, 10, 10)), "hello, QXV");
  EXPECT_EQ(toString(reader.readRange(7, 100, 10)), "QXV");
}

TEST_F(QXVTest, DamagedHeadersAreRefusedOrCannotCauseHugeAllocations) {
  const std::filesystem::path p = writeFile("h.qxv", patternBytes(100));
  const Bytes good = readFileBytes(p);
  const struct {
    const char* name;
    Bytes bytes;
    const char* error;
  } rows[] = {
      {"page size 0", test::withPatch(good, 5, "00000000"), "Invalid QXV file header"},
      {"40 bytes", Bytes(good.begin(), good.begin() + 40), "Invalid QXV file header"},
      {"empty file", {}, "Failed to read from QXV file"},
      {"unknown version and cipher suite", test::withPatch(good, 4, "09 00000100 04"), "no error"},
  };
  for (const auto& row : rows) {
    writeFileBytes(p, row.bytes);
    EXPECT_EQ(errorText([&] { QXVReader r(p, key_); }), row.error) << row.name;
  }

  // Page size 2^32-1: pages are checked against the file size before a buffer grows.
  writeFileBytes(p, test::withPatch(good, 5, "ffffffff"));
  QXVReader reader(p, key_);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(0); }), QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(0xFFFFFFFFu); }), QXVError::Code::readFailed);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange(0, 1LL << 40, 1LL << 40); }),
            QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange((1LL << 40) - 1, 1, 1LL << 40); }),
            QXVError::Code::readFailed);
  // The page size is not part of a page's nonce or AAD: the first page opens at its true length.
  EXPECT_EQ(reader.readRange(0, 100, 100), patternBytes(100));
}

}  // namespace
}  // namespace tolvo
