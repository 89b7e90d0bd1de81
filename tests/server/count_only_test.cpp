// Count-only frames for content the server drops: what a blocked Flash
// movie or banner, a re-encoded JPEG and an optimised page did not make the
// user download is counted once, through the real server and a loopback
// origin.
#include <gtest/gtest.h>

#include "server/content_steering.h"
#include "tests/server/http_answers.h"
#include "tests/server/origins.h"
#include "tests/server/pictures.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

std::string RoomyPage() {
  std::string page = "<html>\n  <body>\n";
  for (int i = 0; i < 300; ++i) page += "    <!-- note " + std::to_string(i) + " -->\n    <p>Row   " + std::to_string(i) + "</p>\n";
  return page + "  </body>\n</html>\n";
}

std::string Movie(std::size_t size) { return "FWS\x0A" + RandomBytes(size - 4, 5); }

class CountOnlyTest : public ServerTest {
 protected:
  CountOnlyTest()
      : origin_({{"/small.swf", {"application/x-shockwave-flash", Movie(2000), false, ""}},
                 {"/big.swf", {"application/x-shockwave-flash", Movie(200000), false, ""}},
                 {"/chunked.swf", {"application/octet-stream", Movie(70000), true, ""}},
                 {"/huge.swf", {"application/x-shockwave-flash", Movie(3 << 20), false, ""}},
                 {"/banner.gif", {"image/gif", MakeGifLike(468, 60, 3000), false, ""}},
                 {"/big-banner.gif", {"image/gif", MakeGifLike(468, 60, 150000), false, ""}},
                 {"/photo.jpg", {"image/jpeg", MakeJpeg(320, 240, 95), false, ""}},
                 {"/page.html", {"text/html", RoomyPage(), false, ""}},
                 {"/text.txt", {"text/plain", "plain\n", false, ""}}}) {
    StartServer();
  }

  std::unique_ptr<TunnelClient> Open(std::uint8_t picture, std::uint16_t filter) {
    auto client = Connect();
    const Login login;
    client->SendRaw(BuildOpening(MakeLoginBlock(login.id, login.password, login.version, 0), picture, filter,
                                 MakeServiceByte(Protocol::kHttp, 0), false));
    return client;
  }
  std::string Get(const std::string& path) { return "GET " + origin_.url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

  // Sends `path`, then a plain text as a marker, and returns the sizes of the
  // count-only frames and the kinds of the other control frames that came
  // for the first.
  struct Counted {
    std::uint64_t total = 0;
    std::size_t frames = 0;
    std::vector<std::uint8_t> others;
    std::string data;
  };
  Counted Fetch(TunnelClient& client, const std::string& path) {
    const std::size_t controls_before = client.controls.size();
    const std::size_t answers_before = SplitAnswers(client.data).size();
    const std::size_t data_before = client.data.size();
    client.SendData(Get(path));
    client.SendData(Get("/text.txt"));
    EXPECT_TRUE(client.ReadUntil([&] {
      const auto answers = SplitAnswers(client.data);
      return answers.size() > answers_before && answers.back().body == "plain\n";
    })) << client.Describe();
    Counted counted;
    for (std::size_t i = controls_before; i < client.controls.size(); ++i) {
      const ControlMessage& m = client.controls[i];
      if (m.kind == ckCountOnly) {
        EXPECT_EQ(m.rest.size(), 2u);
        EXPECT_TRUE(counted.others.empty()) << "count-only frames come first";
        counted.total += m.rest[0] | m.rest[1] << 8;
        ++counted.frames;
      } else {
        counted.others.push_back(m.kind);
      }
    }
    counted.data = client.data.substr(data_before);
    return counted;
  }

  StaticOrigin origin_;
};

TEST_F(CountOnlyTest, BlockedFlashIsCountedWhole) {
  auto client = Open(0xFF, kFilterBlockFlash);
  const Counted small = Fetch(*client, "/small.swf");
  EXPECT_EQ(small.total, 2000u);
  EXPECT_EQ(small.frames, 1u);
  EXPECT_EQ(small.others, (std::vector<std::uint8_t>{ckFlash}));

  const Counted big = Fetch(*client, "/big.swf");
  EXPECT_EQ(big.total, 200000u);
  EXPECT_EQ(big.frames, 4u);

  const Counted chunked = Fetch(*client, "/chunked.swf");  // typed by its signature, sized by what came
  EXPECT_EQ(chunked.total, 70000u);
  EXPECT_EQ(chunked.others, (std::vector<std::uint8_t>{ckFlash}));

  // Too big to read to its end: counted by its Content-Length all the same.
  const Counted huge = Fetch(*client, "/huge.swf");
  EXPECT_EQ(huge.total, 3u << 20);
}

TEST_F(CountOnlyTest, BannersCountOnlyWhatTheirFrameCannotCarry) {
  auto client = Open(0xFF, kFilter468x60);
  const Counted small = Fetch(*client, "/banner.gif");
  EXPECT_EQ(small.frames, 0u);
  ASSERT_EQ(small.others.size(), 1u);
  EXPECT_EQ(client->controls.back().kind, 1);
  EXPECT_EQ(client->controls.back().rest, (Bytes{3000 & 0xFF, 3000 >> 8}));

  const Counted big = Fetch(*client, "/big-banner.gif");
  EXPECT_EQ(big.total, 150000u - 65535u);
  EXPECT_EQ(client->controls.back().kind, 1);
  EXPECT_EQ(client->controls.back().rest, (Bytes{0xFF, 0xFF}));
}

TEST_F(CountOnlyTest, ReencodedJpegAndOptimisedHtmlCountWhatTheySaved) {
  auto jpeg_client = Open(0xF0, 0);
  const Counted jpeg = Fetch(*jpeg_client, "/photo.jpg");
  const auto jpeg_answers = SplitAnswers(jpeg.data);
  ASSERT_FALSE(jpeg_answers.empty());
  const std::size_t original = MakeJpeg(320, 240, 95).size();
  ASSERT_LT(jpeg_answers[0].body.size(), original);
  EXPECT_EQ(jpeg.total, original - jpeg_answers[0].body.size());
  EXPECT_TRUE(jpeg.others.empty());

  auto html_client = Open(0xFF, kFilterOptimizeHtml);
  const Counted html = Fetch(*html_client, "/page.html");
  const auto html_answers = SplitAnswers(html.data);
  ASSERT_FALSE(html_answers.empty());
  ASSERT_LT(html_answers[0].body.size(), RoomyPage().size());
  EXPECT_EQ(html.total, RoomyPage().size() - html_answers[0].body.size());

  // Untouched answers count nothing extra.
  auto plain = Open(0xFF, 0);
  const Counted untouched = Fetch(*plain, "/page.html");
  EXPECT_EQ(untouched.frames, 0u);
}

}  // namespace
}  // namespace korvan::server::test
