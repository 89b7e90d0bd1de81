// The HTTP proxy acting on the picture levels and filter word of the
// opening message, through the real server against a loopback origin.
#include <gtest/gtest.h>

#include <boost/beast/http.hpp>

#include <limits>

#include "server/content_steering.h"
#include "server/jpeg_recompress.h"
#include "tests/server/http_answers.h"
#include "tests/server/origins.h"
#include "tests/server/pictures.h"
#include "tests/server/server_fixture.h"
#include "wire/frame_format.h"

namespace korvan::server::test {
namespace {

namespace http = boost::beast::http;

std::string PageWithRoom() {
  std::string page = "<html>\n  <head>\n    <title>steering</title>\n  </head>\n  <body>\n";
  for (int i = 0; i < 200; ++i) {
    page += "    <!-- row " + std::to_string(i) + " -->\n    <p>Row   " + std::to_string(i) + "</p>\n";
  }
  return page + "    <pre>  kept  as  is  </pre>\n  </body>\n</html>\n";
}

class SteeringProxyTest : public ServerTest {
 protected:
  SteeringProxyTest()
      : origin_({{"/banner.gif", {"image/gif", MakeGifLike(468, 60, 3000), false, ""}},
                 {"/chunked-banner.gif", {"application/octet-stream", MakeGifLike(88, 31, 5000), true, ""}},
                 {"/picture.gif", {"image/gif", MakeGifLike(200, 100, 4000), false, ""}},
                 {"/flat.gif", {"image/gif", MakeGifLike(200, 100, 13) + std::string(4000, '*'), false, ""}},
                 {"/movie.swf", {"application/x-shockwave-flash", "FWS\x0A" + std::string(2000, 'm'), false, ""}},
                 {"/photo.jpg", {"image/jpeg", MakeJpeg(320, 240, 95), false, ""}},
                 {"/page.html", {"text/html", PageWithRoom(), false, "X-Origin: kept\r\n"}},
                 {"/chunked.html", {"text/html; charset=iso-8859-2", PageWithRoom(), true, ""}},
                 {"/text.txt", {"text/plain", "plain   text\n", false, ""}}}) {
    StartServer();
  }

  // Opens a tunnel for the HTTP port with the given steering values.
  std::unique_ptr<TunnelClient> Open(std::uint8_t picture, std::uint16_t filter) {
    auto client = Connect();
    const Login login;
    client->SendRaw(BuildOpening(MakeLoginBlock(login.id, login.password, login.version, 0), picture, filter,
                                 MakeServiceByte(Protocol::kHttp, 0), false));
    return client;
  }
  std::string Get(const std::string& path) { return "GET " + origin_.url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n"; }
  static bool HasAnswers(const TunnelClient& client, std::size_t count) { return SplitAnswers(client.data).size() >= count; }

  StaticOrigin origin_;
};

TEST_F(SteeringProxyTest, BlockedBannerBecomesAControlFrameAndTheConnectionGoesOn) {
  auto client = Open(0xFF, kFilter468x60 | kFilter88x31);
  client->SendData(Get("/banner.gif"));
  ASSERT_TRUE(client->WaitForControl()) << client->Describe();
  EXPECT_EQ(client->controls[0].kind, 1);
  EXPECT_EQ(client->controls[0].rest, (Bytes{3000 & 0xFF, 3000 >> 8}));
  EXPECT_TRUE(client->data.empty());

  // Chunked, typed only by its signature: the size is counted.
  client->SendData(Get("/chunked-banner.gif"));
  ASSERT_TRUE(client->WaitForControl(2)) << client->Describe();
  EXPECT_EQ(client->controls[1].kind, 5);
  EXPECT_EQ(client->controls[1].rest, (Bytes{5000 & 0xFF, 5000 >> 8}));

  client->SendData(Get("/text.txt"));
  ASSERT_TRUE(client->ReadUntil([&] { return HasAnswers(*client, 1); })) << client->Describe();
  EXPECT_EQ(SplitAnswers(client->data)[0].body, "plain   text\n");
  EXPECT_EQ(origin_.connections(), 1u);  // the discarded bodies kept the origin connection usable
  ASSERT_FALSE(origin_.requests().empty());
  EXPECT_EQ(origin_.requests()[0].fields.at("accept-encoding"), "identity");
}

TEST_F(SteeringProxyTest, BannerWithItsBitClearArrivesByteForByte) {
  auto client = Open(0xFF, 0x3FFF & ~kFilter468x60);
  client->SendData(Get("/banner.gif"));
  ASSERT_TRUE(client->ReadUntil([&] { return HasAnswers(*client, 1); })) << client->Describe();
  EXPECT_TRUE(client->controls.empty());
  EXPECT_EQ(SplitAnswers(client->data)[0].body, MakeGifLike(468, 60, 3000));
}

TEST_F(SteeringProxyTest, FlashIsBlockedOnlyWithItsBit) {
  auto client = Open(0xFF, kFilterBlockFlash);
  client->SendData(Get("/movie.swf"));
  // The movie's size is counted first (count_only_test.cpp has the details).
  ASSERT_TRUE(client->WaitForControl(2)) << client->Describe();
  EXPECT_EQ(client->controls[0].kind, ckCountOnly);
  EXPECT_EQ(client->controls[1].kind, ckFlash);
  EXPECT_TRUE(client->controls[1].rest.empty());

  auto plain = Open(0xFF, 0x3FFF);
  plain->SendData(Get("/movie.swf"));
  ASSERT_TRUE(plain->ReadUntil([&] { return HasAnswers(*plain, 1); })) << plain->Describe();
  EXPECT_EQ(SplitAnswers(plain->data)[0].body.substr(0, 3), "FWS");
}

TEST_F(SteeringProxyTest, JpegIsSmallerAtLevelZeroAndUntouchedAtFifteen) {
  const std::string original = MakeJpeg(320, 240, 95);
  auto client = Open(0xF0, 0);
  client->SendData(Get("/photo.jpg"));
  client->SendData(Get("/text.txt"));
  ASSERT_TRUE(client->ReadUntil([&] { return HasAnswers(*client, 2); })) << client->Describe();
  const auto answers = SplitAnswers(client->data);
  EXPECT_LT(answers[0].body.size(), original.size() / 2);
  EXPECT_EQ(answers[0].fields.at("content-length"), std::to_string(answers[0].body.size()));
  const auto size = ReadJpegSize(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(answers[0].body.data()), answers[0].body.size()));
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 320u);
  EXPECT_EQ(size->height, 240u);
  EXPECT_EQ(answers[1].body, "plain   text\n");

  auto untouched = Open(0xFF, 0);
  untouched->SendData(Get("/photo.jpg"));
  ASSERT_TRUE(untouched->ReadUntil([&] { return HasAnswers(*untouched, 1); })) << untouched->Describe();
  EXPECT_EQ(SplitAnswers(untouched->data)[0].body, original);
}

TEST_F(SteeringProxyTest, HtmlIsOptimisedOnlyWithItsBit) {
  auto client = Open(0xFF, kFilterOptimizeHtml);
  client->SendData(Get("/page.html"));
  client->SendData(Get("/chunked.html"));
  client->SendData(Get("/text.txt"));
  ASSERT_TRUE(client->ReadUntil([&] { return HasAnswers(*client, 3); })) << client->Describe();
  const auto answers = SplitAnswers(client->data);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_LT(answers[i].body.size(), PageWithRoom().size() * 3 / 4);
    EXPECT_EQ(answers[i].body.find("<!--"), std::string::npos);
    EXPECT_NE(answers[i].body.find("<p>Row 7</p>\n<p>Row 8</p>"), std::string::npos);
    EXPECT_NE(answers[i].body.find("<pre>  kept  as  is  </pre>"), std::string::npos);
    EXPECT_EQ(answers[i].fields.at("content-length"), std::to_string(answers[i].body.size()));
    EXPECT_EQ(answers[i].fields.count("transfer-encoding"), 0u);
  }
  EXPECT_EQ(answers[0].fields.at("x-origin"), "kept");
  EXPECT_EQ(answers[2].body, "plain   text\n");  // other text is left alone

  auto plain = Open(0xFF, 0x3FFF);
  plain->SendData(Get("/page.html"));
  ASSERT_TRUE(plain->ReadUntil([&] { return HasAnswers(*plain, 1); })) << plain->Describe();
  EXPECT_EQ(SplitAnswers(plain->data)[0].body, PageWithRoom());
}

TEST_F(SteeringProxyTest, GifIsHandedToTheClientWithItsTargetSize) {
  auto client = Open(0x0F, 0);
  client->SendData(Get("/picture.gif"));
  ASSERT_TRUE(client->WaitForControl()) << client->Describe();
  const ControlMessage& offer = client->controls[0];
  EXPECT_EQ(offer.kind, ckRecompressGif);
  ASSERT_GT(offer.rest.size(), 6u);
  EXPECT_EQ(offer.rest[0] | offer.rest[1] << 8, 100);
  EXPECT_EQ(offer.rest[2] | offer.rest[3] << 8, 50);
  const std::string response(offer.rest.begin() + 6, offer.rest.end());
  EXPECT_EQ(offer.rest[4] | offer.rest[5] << 8, static_cast<int>(response.size()));
  const auto answers = SplitAnswers(response);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].body, MakeGifLike(200, 100, 4000));

  client->SendData(Get("/text.txt"));
  ASSERT_TRUE(client->ReadUntil([&] { return HasAnswers(*client, 1); })) << client->Describe();

  // The offer is packed as the picture would have been.
  client->SendData(Get("/flat.gif"));
  ASSERT_TRUE(client->WaitForControl(2)) << client->Describe();
  EXPECT_EQ(client->controls[1].kind, ckRecompressGif);
  EXPECT_TRUE(client->controls[1].flags & tfDeflate);
  const std::string flat(client->controls[1].rest.begin() + 6, client->controls[1].rest.end());
  EXPECT_TRUE(flat.ends_with(std::string(4000, '*')));
}

}  // namespace
}  // namespace korvan::server::test
