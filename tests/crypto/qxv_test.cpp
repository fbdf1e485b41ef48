#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/error.h"
#include "crypto/cipher_error.h"
#include "crypto/qxv_error.h"
#include "crypto/qxv_reader.h"
#include "crypto/qxv_writer.h"
#include "crypto_test_util.h"
#include "support/sandbox.h"

namespace tolvo {
namespace {

using test::patternBytes;
using test::readFileBytes;
using test::writeFileBytes;

constexpr std::uint64_t kPage = 65536;
constexpr std::uint64_t kSealed = 65552;
constexpr const char* kId = "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90";

template <typename F>
std::string errorText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// The code() of the error of type E that `f` raises.
template <typename E, typename F>
auto errorCode(F&& f) -> decltype(std::declval<const E&>().code()) {
  try {
    f();
  } catch (const E& e) {
    return e.code();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "other error: " << e.what();
    throw;
  }
  ADD_FAILURE() << "no error";
  throw std::logic_error("no error");
}

class QXVTest : public test::SandboxedTest {
 protected:
  std::filesystem::path file(const std::string& name) const { return tmp() / name; }

  // Writes `data` in one call and returns the path.
  std::filesystem::path writeFile(const std::string& name, ByteView data, const std::string& id = kId,
                                  bool artifact = false) {
    QXVWriter writer(file(name), id, key_, artifact);
    writer.write(data);
    EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(data.size()));
    return file(name);
  }

  static std::uint64_t sizeOf(const std::filesystem::path& p) { return std::filesystem::file_size(p); }

  static void patchByte(const std::filesystem::path& p, std::uint64_t offset, std::uint8_t xorMask) {
    Bytes bytes = readFileBytes(p);
    bytes.at(offset) ^= xorMask;
    writeFileBytes(p, bytes);
  }

  const SymmetricKey key_ = SymmetricKey::random();
};

// ---- Writer: sizes and paging -----------------------------------------------------

TEST_F(QXVTest, EmptyFileIsTheHeaderAlone) {
  QXVWriter writer(file("empty.qxv"), kId, key_);
  writer.write({});
  EXPECT_EQ(writer.finalize(), 0);
  EXPECT_EQ(sizeOf(file("empty.qxv")), 64u);
  QXVReader reader(file("empty.qxv"), key_);
  EXPECT_EQ(reader.header().chunkId, kId);
  EXPECT_TRUE(reader.readRange(0, 10, 0).empty());
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(0); }), QXVError::Code::readFailed);
}

TEST_F(QXVTest, AFullPageIsWrittenAtOnce) {
  const Bytes data = patternBytes(kPage);
  QXVWriter writer(file("one.qxv"), kId, key_);
  writer.write(data);
  EXPECT_EQ(sizeOf(file("one.qxv")), 64u + 65552u);
  EXPECT_EQ(writer.pageIndex(), 1u);
  EXPECT_EQ(writer.plaintextBytesWritten(), 65536);
  EXPECT_EQ(writer.finalize(), 65536);
  EXPECT_EQ(sizeOf(file("one.qxv")), 64u + 65552u);
  QXVReader reader(file("one.qxv"), key_);
  EXPECT_EQ(reader.readPage(0), data);
}

TEST_F(QXVTest, OneByteOverAPageMakesAShortLastPage) {
  const Bytes data = patternBytes(kPage + 1, 9);
  QXVWriter writer(file("over.qxv"), kId, key_);
  writer.write(data);
  // The extra byte is only in memory until finalize: nothing unsealed reaches the disk.
  EXPECT_EQ(sizeOf(file("over.qxv")), 64u + 65552u);
  EXPECT_EQ(writer.plaintextBytesWritten(), 65536);
  EXPECT_EQ(writer.finalize(), 65537);
  EXPECT_EQ(sizeOf(file("over.qxv")), 64u + 65552u + 17u);

  QXVReader reader(file("over.qxv"), key_);
  EXPECT_EQ(reader.readRange(65536, 1, 65537), Bytes{data.back()});
  EXPECT_EQ(reader.readPage(1, 1), Bytes{data.back()});
}

TEST_F(QXVTest, SmallPiecesAndOnePieceGiveTheSameFileSizeAndPlaintext) {
  const Bytes data = patternBytes(3 * kPage + 4321, 3);
  writeFile("whole.qxv", data);
  QXVWriter pieces(file("pieces.qxv"), kId, key_);
  const std::size_t sizes[] = {1, 7, 4096, 65535, 2, 65536, 131073, 3};
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(sizes[i % std::size(sizes)], data.size() - at);
    pieces.write(ByteView(data).subspan(at, n));
    at += n;
    // After every call the file ends at a page boundary.
    EXPECT_EQ((sizeOf(file("pieces.qxv")) - 64) % kSealed, 0u);
    EXPECT_EQ(pieces.plaintextBytesWritten(), static_cast<std::int64_t>(at / kPage * kPage));
  }
  EXPECT_EQ(pieces.finalize(), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(sizeOf(file("pieces.qxv")), sizeOf(file("whole.qxv")));
  EXPECT_EQ(sizeOf(file("whole.qxv")), 64u + 3 * 65552u + 4321u + 16u);
  const auto total = static_cast<std::int64_t>(data.size());
  EXPECT_EQ(QXVReader(file("pieces.qxv"), key_).readRange(0, total, total), data);
  EXPECT_EQ(QXVReader(file("whole.qxv"), key_).readRange(0, total, total), data);
}

TEST_F(QXVTest, HeaderFieldsOnDisk) {
  writeFile("ten.qxv", patternBytes(10), "abcdefghij");
  const Bytes bytes = readFileBytes(file("ten.qxv"));
  ASSERT_EQ(bytes.size(), 64u + 26u);
  EXPECT_EQ(toString(ByteView(bytes).first(4)), "QXV1");
  EXPECT_EQ(bytes[4], 1);
  EXPECT_EQ(Bytes(bytes.begin() + 5, bytes.begin() + 10), test::fromHex("00000100 00"));
  EXPECT_EQ(toString(ByteView(bytes).subspan(18, 36)), "abcdefghij                          ");
  EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.begin() + 64), Bytes(10, 0));
  QXVReader reader(file("ten.qxv"), key_);
  EXPECT_EQ(reader.header().chunkId, "abcdefghij");
  EXPECT_EQ(reader.readRange(0, 10, 10), patternBytes(10));

  writeFile("full.qxv", patternBytes(10), kId);
  EXPECT_EQ(toString(ByteView(readFileBytes(file("full.qxv"))).subspan(18, 36)), kId);
  // Two files never share a nonce base.
  const Bytes other = readFileBytes(file("full.qxv"));
  EXPECT_NE(Bytes(bytes.begin() + 10, bytes.begin() + 18), Bytes(other.begin() + 10, other.begin() + 18));
}

TEST_F(QXVTest, ArtifactFilesOpenLikeChunkFiles) {
  const Bytes data = patternBytes(70000, 5);
  writeFile("a.qxa", data, "ARTIFACT-1", true);
  EXPECT_EQ(toString(ByteView(readFileBytes(file("a.qxa"))).first(4)), "QXA1");
  QXVReader reader(file("a.qxa"), key_);
  EXPECT_TRUE(reader.header().isArtifact());
  EXPECT_EQ(reader.readRange(0, 70000, 70000), data);
}

// ---- Writer: file creation --------------------------------------------------------

TEST_F(QXVTest, CreatesAPrivateFileAndReplacesAnExistingOne) {
  test::writeText(file("old.qxv"), std::string(200000, 'x'));
  ASSERT_EQ(::chmod(file("old.qxv").c_str(), 0644), 0);
  writeFile("old.qxv", patternBytes(5));
  struct stat st {};
  ASSERT_EQ(::stat(file("old.qxv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 64 + 5 + 16);

  writeFile("new.qxv", {});
  ASSERT_EQ(::stat(file("new.qxv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(QXVTest, RefusesSymbolicLinksAndMissingDirectories) {
  test::writeText(file("target"), "keep me");
  std::filesystem::create_symlink(file("target"), file("link.qxv"));
  EXPECT_EQ(errorCode<SystemError>([&] { QXVWriter w(file("link.qxv"), kId, key_); }), ELOOP);
  EXPECT_EQ(test::readText(file("target")), "keep me");
  EXPECT_EQ(errorCode<SystemError>([&] { QXVWriter w(file("no/such/dir.qxv"), kId, key_); }), ENOENT);
}

TEST_F(QXVTest, RefusesIdentifiersThatDoNotRoundTrip) {
  const char* bad[] = {"0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90X", " abc", "abc ", "\tabc", "abc\t", "abc\xff"};
  for (const char* id : bad) {
    EXPECT_EQ(errorCode<QXVError>([&] { QXVWriter w(file("bad.qxv"), id, key_); }), QXVError::Code::invalidHeader)
        << id;
    EXPECT_FALSE(std::filesystem::exists(file("bad.qxv"))) << id;
  }
}

TEST_F(QXVTest, WriteOrFinalizeAfterFinalizeIsAnError) {
  QXVWriter writer(file("done.qxv"), kId, key_);
  writer.write(patternBytes(100));
  EXPECT_EQ(writer.finalize(), 100);
  EXPECT_EQ(errorCode<SystemError>([&] { writer.write(patternBytes(1)); }), EBADF);
  EXPECT_EQ(errorCode<SystemError>([&] { (void)writer.finalize(); }), EBADF);
  EXPECT_EQ(sizeOf(file("done.qxv")), 64u + 116u);
}

// Lowers the file-size limit so writes past it fail with EFBIG, like a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
};

TEST_F(QXVTest, AFailedPageWriteKeepsEarlierPagesAndTheFileConsistent) {
  const Bytes data = patternBytes(3 * kPage, 1);
  QXVWriter writer(file("full.qxv"), kId, key_);
  {
    FileSizeLimit limit(64 + kSealed + 1000);  // room for one page and a bit
    EXPECT_EQ(errorCode<SystemError>([&] { writer.write(data); }), EFBIG);
  }
  EXPECT_EQ(writer.pageIndex(), 1u);
  EXPECT_EQ(writer.plaintextBytesWritten(), 65536);
  // The half-written page was cut off again.
  EXPECT_EQ(sizeOf(file("full.qxv")), 64u + kSealed);
  {
    QXVReader reader(file("full.qxv"), key_);
    EXPECT_EQ(reader.readPage(0), Bytes(data.begin(), data.begin() + kPage));
  }
  // The failed page is dropped; the bytes after it were kept and go out as page 1.
  EXPECT_EQ(writer.finalize(), 2 * 65536);
  QXVReader reader(file("full.qxv"), key_);
  Bytes expected(data.begin(), data.begin() + kPage);
  expected.insert(expected.end(), data.begin() + 2 * kPage, data.end());
  EXPECT_EQ(reader.readRange(0, 2 * 65536, 2 * 65536), expected);
}

TEST_F(QXVTest, AFailedLastPageStaysBufferedForAnotherFinalize) {
  const Bytes data = patternBytes(kPage + 500, 2);
  QXVWriter writer(file("last.qxv"), kId, key_);
  writer.write(data);
  {
    FileSizeLimit limit(64 + kSealed + 100);
    EXPECT_EQ(errorCode<SystemError>([&] { (void)writer.finalize(); }), EFBIG);
  }
  EXPECT_EQ(sizeOf(file("last.qxv")), 64u + kSealed);
  EXPECT_EQ(writer.finalize(), static_cast<std::int64_t>(data.size()));
  const auto total = static_cast<std::int64_t>(data.size());
  EXPECT_EQ(QXVReader(file("last.qxv"), key_).readRange(0, total, total), data);
}

// ---- Reader: ranges -----------------------------------------------------------------

class QXVRangeTest : public QXVTest {
 protected:
  void SetUp() override { path_ = writeFile("range.qxv", data_); }
  const Bytes data_ = patternBytes(3 * kPage + 1000, 7);  // pages 0-2 full, page 3 holds 1000
  const std::int64_t total_ = static_cast<std::int64_t>(3 * kPage + 1000);
  std::filesystem::path path_;
};

TEST_F(QXVRangeTest, EmptyRangesWithoutError) {
  QXVReader reader(path_, key_);
  EXPECT_TRUE(reader.readRange(total_, 10, total_).empty());
  EXPECT_TRUE(reader.readRange(total_ + 5, 10, total_).empty());
  EXPECT_TRUE(reader.readRange(0, 0, total_).empty());
  EXPECT_TRUE(reader.readRange(5, -3, total_).empty());
  EXPECT_TRUE(reader.readRange(-1, 10, total_).empty());
  EXPECT_EQ(reader.pagesDecrypted(), 0u);
}

TEST_F(QXVRangeTest, RangesReturnExactlyTheirBytesAndTouchOnlyTheirPages) {
  struct Row {
    std::int64_t offset, length;
    std::uint64_t pages;
  };
  const Row rows[] = {
      {0, 1, 1},                        // one byte, one page
      {65535, 2, 2},                    // across the first boundary
      {65530, 12, 2},
      {65536, 65536, 1},                // exactly page 1
      {100, 3 * 65536, 4},              // into the short last page
      {3 * 65536 + 999, 1, 1},          // the very last byte
      {3 * 65536 + 500, 100000, 1},     // clipped at the end
      {0, 3 * 65536 + 1000, 4},         // everything
  };
  for (const Row& r : rows) {
    QXVReader reader(path_, key_);
    const Bytes got = reader.readRange(r.offset, r.length, total_);
    const auto end = std::min<std::int64_t>(r.offset + r.length, total_);
    EXPECT_EQ(got, Bytes(data_.begin() + r.offset, data_.begin() + end)) << r.offset << "+" << r.length;
    EXPECT_EQ(reader.pagesDecrypted(), r.pages) << r.offset << "+" << r.length;
  }
}

TEST_F(QXVRangeTest, ReadPageDefaultsToTheHeaderPageSize) {
  QXVReader reader(path_, key_);
  EXPECT_EQ(reader.header().pageSize, 65536u);
  EXPECT_EQ(reader.readPage(2), Bytes(data_.begin() + 2 * kPage, data_.begin() + 3 * kPage));
  EXPECT_EQ(reader.readPage(3, 1000), Bytes(data_.begin() + 3 * kPage, data_.end()));
  // The last page with the default size runs past the end of the file.
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(3); }), QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(4, 1); }), QXVError::Code::readFailed);
  EXPECT_EQ(reader.pagesDecrypted(), 2u);
}

TEST_F(QXVRangeTest, ShortTotalLengthFailsAuthenticationOfTheLastPage) {
  QXVReader reader(path_, key_);
  EXPECT_EQ(errorText([&] { (void)reader.readRange(0, total_, total_ - 1); }),
            "Authentication failed: wrong key or altered data");
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readRange(3 * 65536, 10, total_ - 1); }),
            CipherError::Code::authenticationFailure);
  // A longer total asks for more bytes than the last page has.
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange(0, total_ + 1, total_ + 1); }),
            QXVError::Code::invalidPage);
  // Pages before the last one do not depend on the total.
  EXPECT_EQ(reader.readRange(10, 10, total_ - 1), Bytes(data_.begin() + 10, data_.begin() + 20));
}

TEST_F(QXVRangeTest, WrongKeyFailsAuthentication) {
  QXVReader reader(path_, SymmetricKey::random());
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(0); }), CipherError::Code::authenticationFailure);
  EXPECT_EQ(reader.pagesDecrypted(), 0u);
}

TEST_F(QXVRangeTest, CloseReleasesTheFile) {
  QXVReader reader(path_, key_);
  reader.close();
  EXPECT_EQ(errorCode<SystemError>([&] { (void)reader.readPage(0); }), EBADF);
}

// ---- Reader: corruption ---------------------------------------------------------------

TEST_F(QXVRangeTest, AChangedTagByteFailsOnlyThatPage) {
  patchByte(path_, 64 + kSealed + kPage + 5, 0x01);  // page 1's tag
  QXVReader reader(path_, key_);
  EXPECT_EQ(errorText([&] { (void)reader.readPage(1); }), "Authentication failed: wrong key or altered data");
  EXPECT_EQ(reader.readPage(0), Bytes(data_.begin(), data_.begin() + kPage));
  EXPECT_EQ(reader.readPage(2), Bytes(data_.begin() + 2 * kPage, data_.begin() + 3 * kPage));
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readRange(65000, 2000, total_); }),
            CipherError::Code::authenticationFailure);
  EXPECT_EQ(reader.readRange(3 * 65536, 1000, total_), Bytes(data_.begin() + 3 * kPage, data_.end()));
}

TEST_F(QXVRangeTest, AChangedCiphertextByteFailsThatPage) {
  patchByte(path_, 64 + 2 * kSealed + 777, 0x40);
  QXVReader reader(path_, key_);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(2); }), CipherError::Code::authenticationFailure);
  EXPECT_EQ(reader.readPage(1), Bytes(data_.begin() + kPage, data_.begin() + 2 * kPage));
}

TEST_F(QXVRangeTest, HeaderChangesThatAlterNonceOrAADFailEveryPage) {
  for (std::uint64_t offset : {10u, 17u, 18u, 53u}) {  // nonce base; first and last id byte
    writeFile("range.qxv", data_);
    patchByte(path_, offset, offset == 53 ? 0x01 : 0x20);
    QXVReader reader(path_, key_);
    EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(0); }), CipherError::Code::authenticationFailure)
        << offset;
    EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(3, 1000); }),
              CipherError::Code::authenticationFailure)
        << offset;
  }
}

TEST_F(QXVRangeTest, SwappedPagesFailAuthentication) {
  Bytes bytes = readFileBytes(path_);
  std::swap_ranges(bytes.begin() + 64, bytes.begin() + 64 + kSealed, bytes.begin() + 64 + kSealed);
  writeFileBytes(path_, bytes);
  QXVReader reader(path_, key_);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(0); }), CipherError::Code::authenticationFailure);
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readPage(1); }), CipherError::Code::authenticationFailure);
}

TEST_F(QXVRangeTest, TruncatedFiles) {
  // Cut inside page 1: page 1 is short, page 2 has nothing at all.
  std::filesystem::resize_file(path_, 64 + kSealed + 100);
  QXVReader reader(path_, key_);
  EXPECT_EQ(reader.readPage(0), Bytes(data_.begin(), data_.begin() + kPage));
  EXPECT_EQ(errorText([&] { (void)reader.readPage(1); }), "Invalid encrypted page");
  EXPECT_EQ(errorText([&] { (void)reader.readPage(2); }), "Failed to read from QXV file");
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange(0, total_, total_); }), QXVError::Code::invalidPage);
}

TEST_F(QXVRangeTest, AFileCutMidPageGivesAShortLastPageThatFailsAuthentication) {
  std::filesystem::resize_file(path_, 64 + 2 * kSealed + 3000);
  const auto length = QXVHeader::plaintextLengthFor(sizeOf(path_), 65536);
  ASSERT_TRUE(length);
  EXPECT_EQ(*length, 2 * kPage + 3000 - 16);
  QXVReader reader(path_, key_);
  const auto total = static_cast<std::int64_t>(*length);
  EXPECT_EQ(reader.readRange(0, 2 * 65536, total), Bytes(data_.begin(), data_.begin() + 2 * kPage));
  EXPECT_EQ(errorCode<CipherError>([&] { (void)reader.readRange(0, total, total); }),
            CipherError::Code::authenticationFailure);
}

// The worked example of docs/qxv-format.md: key 00 01 … 1f, nonce base 01 … 08, chunk id
// "abcdefghij", plaintext "hello, QXV" (bytes made independently with python3-cryptography).
TEST_F(QXVTest, WorkedExampleOfTheFormatDocument) {
  const Bytes fileBytes = test::fromHex(
      "51585631010000010000010203040506 0708616263646566676869 6a20202020"
      "20202020202020202020202020202020 202020202020 00000000000000000000"
      "e27a42dce23bd53ad49e 995beb847dbe8b7f3abc80985ae4d523");
  ASSERT_EQ(fileBytes.size(), 90u);
  writeFileBytes(file("example.qxv"), fileBytes);
  const SymmetricKey key(test::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
  QXVReader reader(file("example.qxv"), key);
  EXPECT_EQ(reader.header().chunkId, "abcdefghij");
  EXPECT_EQ(QXVHeader::plaintextLengthFor(90, reader.header().pageSize), 10u);
  EXPECT_EQ(toString(reader.readRange(0, 10, 10)), "hello, QXV");
  EXPECT_EQ(toString(reader.readRange(7, 100, 10)), "QXV");
}

TEST_F(QXVTest, DamagedHeadersAreRefused) {
  const std::filesystem::path p = writeFile("h.qxv", patternBytes(100));
  const Bytes good = readFileBytes(p);
  auto openWith = [&](const Bytes& bytes) {
    writeFileBytes(p, bytes);
    return errorText([&] { QXVReader r(p, key_); });
  };
  Bytes bytes = good;
  bytes[0] = 'X';
  EXPECT_EQ(openWith(bytes), "Invalid file magic number");
  bytes = good;
  bytes[5] = bytes[6] = bytes[7] = bytes[8] = 0;  // page size 0
  EXPECT_EQ(openWith(bytes), "Invalid QXV file header");
  bytes = good;
  bytes[30] = 0xC0;
  EXPECT_EQ(openWith(bytes), "Invalid QXV file header");
  EXPECT_EQ(openWith(Bytes(good.begin(), good.begin() + 40)), "Invalid QXV file header");
  EXPECT_EQ(openWith({}), "Failed to read from QXV file");
  // Version and cipher suite are not checked.
  bytes = good;
  bytes[4] = 9;
  bytes[9] = 4;
  writeFileBytes(p, bytes);
  QXVReader reader(p, key_);
  EXPECT_EQ(reader.header().version, 9);
  EXPECT_EQ(reader.readRange(0, 100, 100), patternBytes(100));
}

TEST_F(QXVTest, AHugePageSizeInADamagedHeaderDoesNotAllocate) {
  const std::filesystem::path p = writeFile("huge.qxv", patternBytes(100));
  Bytes bytes = readFileBytes(p);
  bytes[5] = bytes[6] = bytes[7] = bytes[8] = 0xFF;
  writeFileBytes(p, bytes);
  QXVReader reader(p, key_);
  EXPECT_EQ(reader.header().pageSize, 0xFFFFFFFFu);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(0); }), QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readPage(0xFFFFFFFFu); }), QXVError::Code::readFailed);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange(0, 1LL << 40, 1LL << 40); }),
            QXVError::Code::invalidPage);
  EXPECT_EQ(errorCode<QXVError>([&] { (void)reader.readRange((1LL << 40) - 1, 1, 1LL << 40); }),
            QXVError::Code::readFailed);
  // The page size is not part of a page's nonce or AAD: the first page still opens when
  // asked for with its true length, later pages would move and fail.
  EXPECT_EQ(reader.readRange(0, 100, 100), patternBytes(100));
}

TEST_F(QXVTest, MissingFilesAndLinksAreSystemErrors) {
  EXPECT_EQ(errorCode<SystemError>([&] { QXVReader r(file("absent.qxv"), key_); }), ENOENT);
  writeFile("real.qxv", patternBytes(10));
  std::filesystem::create_symlink(file("real.qxv"), file("link.qxv"));
  EXPECT_EQ(errorCode<SystemError>([&] { QXVReader r(file("link.qxv"), key_); }), ELOOP);
}

}  // namespace
}  // namespace tolvo
