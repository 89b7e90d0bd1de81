// A real browser through the whole service: headless Chromium loads a page
// through korvan --service and korvan-server with banner sizes ticked and the
// GIF level at 0. The banners come back drawn by the client, the other GIFs
// recompressed, every image decodes, and nothing is dropped. A screenshot is
// kept among the build's test artifacts.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/apps/service_pair_fixture.h"
#include "tests/support/test_gifs.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

// What the page's script found, read from the DOM Chromium dumps.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const auto a = text.find(open);
  if (a == std::string::npos) return {};
  const auto b = text.find(close, a + open.size());
  return b == std::string::npos ? std::string() : text.substr(a + open.size(), b - a - open.size());
}

class BrowserPair : public test::ServicePairFixture {
 protected:
  void SetUp() override {
    chromium_ = test::FindProgram("chromium");
    if (!chromium_) GTEST_SKIP() << "chromium not installed: browser test skipped";
    PrepareFolders(/*needs_curl=*/false);
    if (IsSkipped() || HasFatalFailure()) return;
    std::map<std::string, server::test::StaticAnswer> answers;
    answers["/page.html"] = {"text/html", Page(), false, {}};
    for (const auto& [name, size] : kImages) {
      answers["/" + name + ".gif"] = {"image/gif", test::MakeTestGif(size.first, size.second, name == "logo"), false, {}};
    }
    site_ = std::make_unique<server::test::StaticOrigin>(std::move(answers));
    StartServer({"--allow-private"});
    if (HasFatalFailure()) return;
    // Three banner sizes blocked, GIFs at the strongest compression.
    extra_config_ = "IGN468x60=1\r\nIGN88x31=1\r\nIGN120x600=1\r\nGIFCompress=0\r\n";
    std::vector<test::PortEntry> ports{{Protocol::kHttp}};
    StartClient(ports);
    http_port_ = ports[0].local_port;
  }

  // Chromium headless through the client's HTTP port; its own loopback
  // bypass is switched off so that the page goes through the proxy.
  std::string Chromium(const std::string& what) {
    const fs::path profile = root_ / "chromium-profile";
    return test::RunCommand("timeout 60 " + chromium_->string() +
                            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                            " --disable-background-networking --disable-component-update --disable-sync"
                            " --user-data-dir=" + profile.string() +
                            " --proxy-server=http://127.0.0.1:" + std::to_string(http_port_) +
                            " '--proxy-bypass-list=<-loopback>' --window-size=900,1000"
                            " --virtual-time-budget=15000 " + what + " " + site_->url("/page.html") + " 2>/dev/null")
        .value_or("");
  }

  static std::string Page() {
    std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>banners</title></head>"
        "<body style=\"font-family:sans-serif\"><h1>A page with banners</h1>";
    for (const auto& [name, size] : kImages) {
      html += "<p>" + name + "<br><img id=\"" + name + "\" src=\"/" + name + ".gif\"></p>";
    }
    // Each image, once the page has loaded: its natural size, or "broken".
    html +=
        "<pre id=\"result\">waiting</pre><script>"
        "window.addEventListener('load', function () {"
        "  var out = [];"
        "  for (var img of document.images) {"
        "    out.push(img.id + '=' + (img.complete && img.naturalWidth > 0 ? img.naturalWidth + 'x' + img.naturalHeight"
        "                                                                   : 'broken'));"
        "  }"
        "  document.getElementById('result').textContent = '[' + out.join(' ') + ']';"
        "});</script></body></html>";
    return html;
  }

  // Banners at three blocked sizes, one banner size that is not blocked, a
  // picture and a transparent logo.
  static inline const std::vector<std::pair<std::string, std::pair<int, int>>> kImages = {
      {"leaderboard", {468, 60}}, {"button", {88, 31}},  {"skyscraper", {120, 600}},
      {"square", {125, 125}},     {"photo", {300, 200}}, {"logo", {160, 90}}};

  std::optional<fs::path> chromium_;
  std::unique_ptr<server::test::StaticOrigin> site_;
};

TEST_F(BrowserPair, BannersAreDrawnAndEveryImageDecodes) {
  const std::string dom = Chromium("--dump-dom");
  const std::string result = Between(dom, "<pre id=\"result\">[", "]</pre>");
  ASSERT_FALSE(result.empty()) << "the page did not load through the proxy:\n" << dom.substr(0, 2000);
  std::map<std::string, std::string> seen;
  for (std::size_t pos = 0; pos < result.size();) {
    const std::size_t end = std::min(result.find(' ', pos), result.size());
    const std::string item = result.substr(pos, end - pos);
    seen[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    pos = end + 1;
  }
  // Drawn replacements keep the banners' exact sizes.
  EXPECT_EQ(seen["leaderboard"], "468x60");
  EXPECT_EQ(seen["button"], "88x31");
  EXPECT_EQ(seen["skyscraper"], "120x600");
  // GIF level 0 halves each side of the other GIFs, and they still decode.
  EXPECT_EQ(seen["square"], "63x63");
  EXPECT_EQ(seen["photo"], "150x100");
  EXPECT_EQ(seen["logo"], "80x45");
  for (const auto& [name, size] : seen) EXPECT_NE(size, "broken") << name;

  // Every image was asked of the origin once: nothing failed and was retried.
  int gifs = 0;
  for (const auto& r : site_->requests()) gifs += r.target.ends_with(".gif") ? 1 : 0;
  EXPECT_EQ(gifs, static_cast<int>(kImages.size()));
  EXPECT_EQ(ClientLog().find("Could not connect"), std::string::npos) << ClientLog();

  // The screenshot, for a person to look at.
  const fs::path artifacts = fs::path(KORVAN_ARTIFACT_DIR);
  fs::create_directories(artifacts);
  const fs::path shot = artifacts / "browser-banners.png";
  fs::remove(shot);
  Chromium("--screenshot=" + shot.string());
  EXPECT_TRUE(fs::exists(shot) && fs::file_size(shot) > 1000) << "no screenshot at " << shot;
}

}  // namespace
}  // namespace korvan
