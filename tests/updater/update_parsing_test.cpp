// What the updater reads from the update server: the version info file,
// its descriptions and signature, update containers and response heads.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "tests/updater/test_signing.h"
#include "updater/format_size.h"
#include "updater/update_block.h"
#include "updater/update_description.h"
#include "updater/update_http.h"
#include "updater/update_signature.h"
#include "updater/version_info.h"

namespace korvan {
namespace {

constexpr ProductVersion kRunning{1, 0, 0, 509};

TEST(VersionInfoFile, KeysAreFoundByTheFirstLineWithoutRegardToCaseAndLineEnds) {
  const VersionInfoFile info("count=2\r\nName1=a=b\nNAME1=second\rhash1=\r\nnoequals\r\n");
  EXPECT_EQ(info.Value("Count"), "2");
  EXPECT_EQ(info.Value("name1"), "a=b");  // the first line wins; the value keeps its "="
  EXPECT_EQ(info.Value("Hash1"), "");
  EXPECT_EQ(info.Value("Missing"), "");
  EXPECT_EQ(ParseDecimal("12"), 12);
  for (const char* bad : {"", "1x", " 1", "99999999999"}) EXPECT_FALSE(ParseDecimal(bad)) << bad;
}

TEST(VersionInfoFile, OnlyPlainNamesOfTheProgramFolderAreSafe) {
  for (const char* good : {"korvan", "en.kvl", "korvan-window.so", "Korvan.chm"}) EXPECT_TRUE(IsSafeUpdateName(good));
  for (const char* bad : {"", ".", "..", "../x", "/etc/passwd", "a/b", "a\\b", "x..y", "a\nb", "\x7f"}) {
    EXPECT_FALSE(IsSafeUpdateName(bad)) << bad;
  }
}

TEST(UpdateDescription, VersionsCompareByFourPartsRepeatingTheLast) {
  EXPECT_EQ(CompareVersion("1.0.0.510", kRunning), 1);
  EXPECT_EQ(CompareVersion("1.0.0.509", kRunning), 0);
  EXPECT_EQ(CompareVersion("1.0.0.508", kRunning), -1);
  EXPECT_EQ(CompareVersion("1.1", kRunning), 1);           // 1.1.1.1
  EXPECT_EQ(CompareVersion("1", {1, 1, 1, 1}), 0);         // 1.1.1.1
  EXPECT_EQ(CompareVersion("x.0.0.600", kRunning), -1);    // not a number: 0
}

TEST(UpdateDescription, OnlyNewerSectionsStayWithoutTheirHeaders) {
  const std::string text = "Intro\r\n[1.0.0.510]\r\nNew\r\nMore\r\n[1.0.0.509]\r\nOld\r\n[]\r\nAlways\r\n[oops\r\nKept\r\n";
  EXPECT_EQ(FilterDescription(text, kRunning), "Intro\r\nNew\r\nMore\r\nAlways\r\nKept\r\n");
  EXPECT_EQ(FilterDescription("[1.0.0.1]\r\nOld\r\n", kRunning), "");
}

TEST(UpdateDescription, TheFirstPreferredLanguageWithATextWins) {
  const VersionInfoFile info("Description_en=One#13#10Two\r\nDescription_sk=\r\n");
  EXPECT_EQ(PickDescription(info, "cz,sk,en"), "One\r\nTwo");
  EXPECT_EQ(PickDescription(info, "cz"), "");
}

TEST(FormatSize, ThresholdsAndSeparatorsAsShown) {
  EXPECT_EQ(FormatSize(0, ",", "."), "0 B");
  EXPECT_EQ(FormatSize(999, ",", "."), "999 B");
  EXPECT_EQ(FormatSize(1000, ",", "."), "0.98 KB");
  EXPECT_EQ(FormatSize(1023999, ",", "."), "1,000.00 KB");
  EXPECT_EQ(FormatSize(1024000, ",", "."), "0.98 MB");
  EXPECT_EQ(FormatSize(5 * 1048576LL * 1000, "\xA0", ","), "5\xA0" "000,00 MB");
  EXPECT_EQ(FormatSize(-2048, ",", "."), "-2.00 KB");
}

TEST(UpdateHttp, RequestAndResponseHead) {
  EXPECT_EQ(BuildUpdateRequest("http://h:81/version_1_01.info", "h:81", "1.0 (Build 0.509)"),
            "GET http://h:81/version_1_01.info HTTP/1.1\r\nHost: h:81\r\nKorvan buffer: 4096\r\n"
            "Pragma: no-cache\r\nUser-Agent: KORVAN 1.0 (Build 0.509)\r\n\r\n");
  EXPECT_EQ(HostOfUrl("http://files.example/a/b.kub"), "files.example");
  EXPECT_EQ(HostOfUrl("http://files.example"), "files.example");
  EXPECT_EQ(ContentLengthOf("HTTP/1.1 200 OK\r\ncontent-length:  42 \r\n\r\n"), 42);
  EXPECT_EQ(ContentLengthOf("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"), -1);
  EXPECT_EQ(ContentLengthOf("HTTP/1.1 200 OK\r\n\r\n"), -1);
  EXPECT_EQ(HeadEndOf("HTTP/1.1 200 OK\r\n\r\nbody"), 19u);
  EXPECT_EQ(HeadEndOf("HTTP/1.1 200 OK\r\n"), 0u);
  EXPECT_EQ(StatusCodeOf("HTTP/1.1 404 Not Found\r\n"), 404);
  EXPECT_EQ(StatusCodeOf("garbage"), 0);
  EXPECT_FALSE(StatusIs200("HTTP/1.1 20"));  // not judged before 12 bytes
  EXPECT_TRUE(StatusIs200("HTTP/1.1 200"));
  EXPECT_FALSE(StatusIs200("HTTP/1.1 404 Not Found"));
}

std::string Deflated(const std::string& content) {
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(content.data()),
           static_cast<uLong>(content.size()));
  out.resize(size);
  return out;
}

TEST(UpdateBlock, StoredAndDeflatedBlocksUnpack) {
  std::string error;
  EXPECT_EQ(UnpackUpdateBlock(std::string("\x00\x03" "abc", 5), &error), "abc");
  const std::string content(5000, 'k');
  const std::string z = Deflated(content);
  ASSERT_LT(z.size(), 256u);
  const std::string one_byte_length = std::string("\x80") + static_cast<char>(z.size()) + z;
  EXPECT_EQ(UnpackUpdateBlock(one_byte_length, &error), content) << error;
  // A 4-byte length and an unpacked-size field.
  std::string wide("\xB8", 1);
  for (std::uint32_t v : {static_cast<std::uint32_t>(z.size()), 5000u}) {
    for (int i = 0; i < 4; ++i) wide.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  EXPECT_EQ(UnpackUpdateBlock(wide + z, &error), content) << error;
}

TEST(UpdateBlock, DamagedBlocksAreRefused) {
  std::string error;
  const std::string cases[] = {
      std::string(),                           // nothing
      std::string("\x10\x05", 2),              // header cut
      std::string("\x00\x03" "abcd", 6),       // one byte more than the block
      std::string("\x00\x03" "ab", 4),         // cut short
      std::string("\x00\x00", 2),              // empty content
      std::string("\x80\x03" "abc", 5),        // not a zlib stream
      std::string("\x80") + static_cast<char>(Deflated("xyz").size() + 1) + Deflated("xyz") + "!",  // trailing byte
  };
  for (const auto& body : cases) EXPECT_FALSE(UnpackUpdateBlock(body, &error)) << testing::PrintToString(body);
  // A bomb beyond the bound is cut off, not unpacked into memory: a small
  // stream of zeros that would unpack to 1 MiB more than the bound.
  z_stream stream{};
  deflateInit(&stream, Z_BEST_COMPRESSION);
  const std::string zeros(1 << 20, '\0');
  std::string bomb;
  char out[65536];
  for (std::size_t mib = 0; mib <= (kMaxUpdateFileSize >> 20); ++mib) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = static_cast<uInt>(zeros.size());
    const int flush = mib == (kMaxUpdateFileSize >> 20) ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out);
      stream.avail_out = sizeof out;
      deflate(&stream, flush);
      bomb.append(out, sizeof out - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  std::string block("\xB8", 1);
  for (std::uint32_t v : {static_cast<std::uint32_t>(bomb.size()), 65535u}) {
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  EXPECT_FALSE(UnpackUpdateBlock(block + bomb, &error));
  EXPECT_NE(error.find("exceeds"), std::string::npos) << error;
}

TEST(UpdateBlock, PackedBlocksRoundTripInTheirShortestForm) {
  std::string error;
  for (const std::string& content : {std::string("x"), std::string(300, 'a'), std::string(70000, 'b')}) {
    const std::string block = PackUpdateBlock(content);
    EXPECT_EQ(UnpackUpdateBlock(block, &error), content) << error;
  }
  EXPECT_EQ(PackUpdateBlock("x"), std::string("\x00\x01x", 3));  // stored when deflate gains nothing
  EXPECT_LT(PackUpdateBlock(std::string(70000, 'b')).size(), 1000u);
}

TEST(UpdateSignature, OnlyTheUnchangedSignedFileVerifies) {
  const auto [public_pem, private_pem] = test::MakeKeyPair();
  const std::string text = "Count=1\r\nName1=korvan\r\nHash1=00\r\n";
  const std::string signed_file = test::Sign(text, private_pem);
  EXPECT_EQ(VerifyVersionInfo(signed_file, public_pem), SignatureCheck::kValid);
  EXPECT_EQ(SplitSignature(signed_file).signed_part, text);

  std::string changed = signed_file;
  changed[7] = '2';
  EXPECT_EQ(VerifyVersionInfo(changed, public_pem), SignatureCheck::kInvalid);
  EXPECT_EQ(VerifyVersionInfo(text, public_pem), SignatureCheck::kMissing);
  // A signature line with text after it is no signature.
  EXPECT_EQ(VerifyVersionInfo(signed_file + "Count=9\r\n", public_pem), SignatureCheck::kMissing);
  EXPECT_EQ(VerifyVersionInfo(text + "Signature=!!!!\r\n", public_pem), SignatureCheck::kInvalid);
  EXPECT_EQ(VerifyVersionInfo(signed_file, test::MakeKeyPair().first), SignatureCheck::kInvalid);  // another key
  EXPECT_EQ(VerifyVersionInfo(signed_file, "not a key"), SignatureCheck::kBadKey);
}

TEST(UpdateSignature, Base64BothWays) {
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_EQ(DecodeBase64("YWI="), "ab");
  EXPECT_EQ(DecodeBase64("YWJj"), "abc");
  for (const char* bad : {"", "YWI", "Y=I=", "YW==I===", "YW\nI"}) EXPECT_FALSE(DecodeBase64(bad)) << bad;
}

}  // namespace
}  // namespace korvan
