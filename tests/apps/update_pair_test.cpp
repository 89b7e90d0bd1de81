// The self-updater through the real pair: its requests enter korvan's own
// HTTP port, cross the tunnel and korvan-server (which takes the updater's
// buffer hint out) to an update server on loopback; what it stored is
// applied by korvan-update once korvan has ended.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "localisation/text_table.h"
#include "platform/event_loop.h"
#include "platform/posix_stream_socket.h"
#include "tests/apps/service_pair_fixture.h"
#include "tests/support/test_paths.h"
#include "tests/updater/recording_updater_host.h"
#include "tests/updater/update_test_server.h"
#include "updater/file_digest.h"
#include "updater/update_block.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

class UpdatePair : public test::ServicePairFixture {
 protected:
  void SetUp() override {
    PrepareFolders(false);
    if (IsSkipped() || HasFatalFailure()) return;
    // korvan starts it at its exit.
    fs::copy_file(test::BinDir() / "korvan-update", root_ / "app" / "korvan-update");
    std::ofstream(root_ / "app" / "notes.txt", std::ios::binary) << "old notes";
    StartServer({"--allow-private"});
    if (HasFatalFailure()) return;
    std::vector<test::PortEntry> ports{{Protocol::kHttp}};
    StartClient(ports);
    http_port_ = ports[0].local_port;
  }

  UpdaterContext Context() {
    UpdaterSettings s;
    s.app_dir = root_ / "app";
    s.update_dir = root_ / "app" / "Update";
    s.port = static_cast<std::uint16_t>(http_port_);
    s.update_host = updates_.host();
    s.version_text = "1.0 (Build 0.509)";
    s.product_version = {1, 0, 0, 509};
    s.preferred_languages = "en";
    return UpdaterContext{loop_, network_, host_, texts_, s};
  }

  template <typename Thread, typename... Args>
  void RunThread(Args&&... args) {
    Thread thread(Context(), std::forward<Args>(args)...);
    const auto deadline = steady_clock::now() + std::chrono::seconds(30);
    while (!thread.finished() && steady_clock::now() < deadline) {
      loop_.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(thread.finished());
  }

  test::UpdateTestServer updates_;
  EventLoop loop_;
  PosixNetwork network_;
  test::RecordingUpdaterHost host_;
  TextTable texts_;
};

TEST_F(UpdatePair, CheckDownloadAndApplyThroughTheTunnel) {
  const std::string notes = "new notes\n" + std::string(50000, 'n');
  const std::string block = PackUpdateBlock(notes);
  updates_.AnswerBody("/notes.txt.kub", block);
  updates_.AnswerBody("/version_1_01.info",
                      "Count=1\r\nName1=notes.txt\r\nHash1=" + DigestText(notes) + "\r\nSize1=" +
                          std::to_string(block.size()) + "\r\nURL1=" + updates_.url("/notes.txt.kub") +
                          "\r\nDescription_en=[9.0]#13#10Better notes\r\n");
  RunThread<TCheckUpdateThread>();
  ASSERT_TRUE(host_.boxes.empty()) << host_.boxes[0].text;
  ASSERT_EQ(host_.dialogs.size(), 1u);
  EXPECT_NE(host_.dialogs[0].memo.find("Better notes"), std::string::npos);
  ASSERT_EQ(host_.downloads.size(), 1u);
  // The origin saw the request without the hint, as any origin would.
  const auto heads = updates_.request_heads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].find("Korvan buffer"), std::string::npos) << heads[0];
  EXPECT_NE(heads[0].find("User-Agent: KORVAN 1.0 (Build 0.509)"), std::string::npos) << heads[0];

  RunThread<TDownloadUpdateThread>(host_.downloads[0]);
  EXPECT_EQ(host_.download_succeeded, true);
  EXPECT_TRUE(host_.boxes.empty());
  EXPECT_EQ(host_.progress, static_cast<std::int64_t>(block.size()));
  EXPECT_EQ(test::ReadFileText(root_ / "app" / "Update" / "notes.txt"), notes);
  EXPECT_EQ(test::ReadFileText(root_ / "app" / "notes.txt"), "old notes");  // nothing replaced while korvan runs

  // A second check finds nothing due: the copy in Update/ has the digest.
  host_ = {};
  RunThread<TCheckUpdateThread>();
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text, texts_.Text(TextKey::NewVersionNotFound));

  // korvan ends; korvan-update applies Update/ once it has.
  EXPECT_EQ(client_->Stop(SIGTERM), 0) << client_->Output();
  client_.reset();
  const auto deadline = steady_clock::now() + std::chrono::seconds(20);
  while (test::ReadFileText(root_ / "app" / "notes.txt") != notes && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(test::ReadFileText(root_ / "app" / "notes.txt"), notes);
  EXPECT_EQ(test::ReadFileText(root_ / "app" / "Backup" / "notes.txt"), "old notes");
  EXPECT_FALSE(fs::exists(root_ / "app" / "Update" / "notes.txt"));
}

TEST_F(UpdatePair, AMissingFileEndsTheDownloadWithTheConnectionError) {
  RunThread<TDownloadUpdateThread>(UpdateFileList{{"notes.txt", updates_.url("/gone.kub"), 10, "00"}});
  EXPECT_EQ(host_.download_succeeded, false);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text, texts_.Text(TextKey::ServerConnectionErr));
  EXPECT_FALSE(fs::exists(root_ / "app" / "Update" / "notes.txt"));
}

}  // namespace
}  // namespace korvan
