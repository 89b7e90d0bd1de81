// The update button of a started client core, on the real loop and
// sockets: the check's dialog, the download with its gauge and cancel
// button, the restart offer, and a new korvan-update that is put in place
// at once. The port table's HTTP port is the test's update server, which
// answers the updater's proxy-style requests itself.
#include "shell/update_controller.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/event_loop.h"
#include "platform/posix_stream_socket.h"
#include "platform/system_clock.h"
#include "shell/client_core.h"
#include "tests/platform/temp_dir.h"
#include "tests/shell/fake_platform.h"
#include "tests/support/test_paths.h"
#include "tests/updater/update_test_server.h"
#include "updater/file_digest.h"
#include "updater/update_block.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct ButtonState {
  std::string text;
  int tag;
  bool enabled;
  bool gauge_shown;
  std::int64_t position;
  std::int64_t max;
};

class UpdateButton : public ::testing::Test {
 protected:
  UpdateButton() {
    for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / file, app_.path() / file);
    fake_.profile.bytes = "[Config]\r\nLanguage=en.kvl\r\nUpdateHost=updates.example:8080\r\n[Setup]\r\nSocketCount=1\r\n"
                          "[Socket1]\r\nLPort=" + std::to_string(server_.port()) + "\r\nProtocol=0\r\n";
    core_ = std::make_unique<ClientCore>(
        PlatformServices{loop_, clock_, fake_.listeners, fake_.workers, fake_.profile, fake_.log_files, fake_.proxy,
                         fake_.autostart, fake_.prompts, fake_.prompts, fake_.processes, network_, LocaleFormat{},
                         "en", 7},
        CoreOptions{app_.path(), false, {}, {}});
    EXPECT_TRUE(core_->Start());
    core_->updater().set_wait_times(400, 2000, 1000);
    watch_ = form().changes.Subscribe(ModelChange::kUpdate, [this] {
      const KorvanForm& f = form();
      states_.push_back({f.CheckNewUpdate.text, f.CheckNewUpdateTag, f.CheckNewUpdate.enabled, f.UpdatePrgrPVisible,
                         f.UpdatePrgr.position, f.UpdatePrgr.max});
    });
  }
  ~UpdateButton() override {
    watch_ = {};
    core_.reset();
    loop_.RunPending();
  }

  KorvanForm& form() { return core_->form(); }
  std::string Text(TextKey key) const { return std::string(core_->texts().Text(key)); }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop_.RunPending();
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }
  bool Idle() { return !core_->updater().check_running() && !core_->updater().download_running(); }

  // Publishes `content` as `name`; returns the version info lines for it.
  std::string Publish(int n, const std::string& name, const std::string& content) {
    const std::string block = PackUpdateBlock(content);
    server_.AnswerBody("/" + name + ".kub", block);
    const std::string i = std::to_string(n);
    return "Name" + i + "=" + name + "\r\nHash" + i + "=" + DigestText(content) + "\r\nSize" + i + "=" +
           std::to_string(block.size()) + "\r\nURL" + i + "=" + server_.url("/" + name + ".kub") + "\r\n";
  }

  test::TempDir app_;
  test::FakePlatform fake_;
  EventLoop loop_;
  SystemClock clock_;
  PosixNetwork network_;
  test::UpdateTestServer server_;
  std::unique_ptr<ClientCore> core_;
  Subscription watch_;
  std::vector<ButtonState> states_;
};

TEST_F(UpdateButton, AgreeingDownloadsWithTheGaugeAndOffersTheRestart) {
  const std::string updater = "#!/bin/sh\n# the new korvan-update\n";
  server_.AnswerBody("/version_1_01.info", "Count=2\r\n" + Publish(1, "notes.txt", std::string(30000, 'n')) +
                                               Publish(2, "korvan-update", updater) +
                                               "Description_en=[9.0]#13#10Better\r\n");
  ASSERT_TRUE(form().CheckNewUpdate.enabled);
  EXPECT_EQ(form().CheckNewUpdate.text, Text(TextKey::btnCheckNewUpdate));
  fake_.prompts.dialog_answer = {true, false};
  fake_.prompts.answer = true;  // restart now
  core_->CheckNewUpdateClick();
  EXPECT_FALSE(form().CheckNewUpdate.enabled);  // while the check runs
  ASSERT_TRUE(RunUntil([&] { return Idle() && !fake_.prompts.boxes.empty(); }));

  // The request went to the host of UpdateHost, which stays in Korvan.ini.
  ASSERT_FALSE(server_.request_heads().empty());
  EXPECT_EQ(server_.request_heads()[0].rfind("GET http://updates.example:8080/version_1_01.info HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(fake_.profile.bytes->find("UpdateHost=updates.example:8080"), std::string::npos);

  ASSERT_EQ(fake_.prompts.dialogs.size(), 1u);
  EXPECT_NE(fake_.prompts.dialogs[0].memo.find("Better"), std::string::npos);
  // While it ran, the button was the cancel button over the shown gauge.
  const auto downloading = std::find_if(states_.begin(), states_.end(), [](const ButtonState& s) { return s.tag == 1; });
  ASSERT_NE(downloading, states_.end());
  EXPECT_EQ(downloading->text, Text(TextKey::btnCancelUpdate));
  EXPECT_TRUE(downloading->enabled);
  EXPECT_TRUE(downloading->gauge_shown);
  // Afterwards the gauge is full and gone, and the button waits for the restart.
  const ButtonState& last = states_.back();
  EXPECT_EQ(last.tag, 0);
  EXPECT_EQ(last.text, Text(TextKey::btnCheckNewUpdate));
  EXPECT_FALSE(last.enabled);
  EXPECT_FALSE(last.gauge_shown);
  EXPECT_EQ(last.position, last.max);
  EXPECT_GT(last.max, 0);

  EXPECT_EQ(test::ReadFileText(app_.path() / "Update" / "notes.txt"), std::string(30000, 'n'));
  // The new updater stands in the program folder already.
  EXPECT_EQ(test::ReadFileText(app_.path() / "korvan-update"), updater);
  EXPECT_FALSE(fs::exists(app_.path() / "Update" / "korvan-update"));

  const std::string& log = form().log().memo();
  const auto started = log.find(Text(TextKey::UpdateStarted));
  EXPECT_LT(log.find(Text(TextKey::CheckNewVersion)), started);
  EXPECT_LT(started, log.find(Text(TextKey::UpdateOK)));
  EXPECT_NE(started, std::string::npos);
  ASSERT_EQ(fake_.prompts.boxes.size(), 1u);
  EXPECT_EQ(fake_.prompts.boxes[0].text, Text(TextKey::DownloadOK_Restart));
  EXPECT_TRUE(core_->RestartRequested());
  EXPECT_EQ(core_->engine().updater_local_port, kUpdaterIdle);
}

TEST_F(UpdateButton, TheCancelButtonAsksAndStopsTheDownload) {
  const std::string content(100000, 'c');
  server_.AnswerBody("/version_1_01.info", "Count=1\r\n" + Publish(1, "big", content));
  server_.AnswerStalled("/big.kub", PackUpdateBlock(content), 10);
  fake_.prompts.dialog_answer = {true, false};
  fake_.prompts.answer = true;  // yes, cancel
  core_->updater().set_wait_times(400, 60000, 1000);
  core_->CheckNewUpdateClick();
  ASSERT_TRUE(RunUntil([&] { return form().UpdatePrgr.position > 0; }));
  ASSERT_EQ(form().CheckNewUpdateTag, 1);
  const auto asked = std::chrono::steady_clock::now();
  core_->CheckNewUpdateClick();
  ASSERT_EQ(fake_.prompts.boxes.size(), 1u);
  EXPECT_EQ(fake_.prompts.boxes[0].text, Text(TextKey::CancelUpdateQuery));
  EXPECT_FALSE(form().CheckNewUpdate.enabled);
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms);
  EXPECT_EQ(fake_.prompts.boxes.size(), 1u);  // no message for a cancel
  EXPECT_TRUE(form().CheckNewUpdate.enabled);
  EXPECT_EQ(form().CheckNewUpdateTag, 0);
  EXPECT_EQ(form().CheckNewUpdate.text, Text(TextKey::btnCheckNewUpdate));
  EXPECT_FALSE(form().UpdatePrgrPVisible);
  EXPECT_NE(form().log().memo().find(Text(TextKey::CancelUpdate)), std::string::npos);
  EXPECT_FALSE(fs::exists(app_.path() / "Update" / "big"));
}

TEST_F(UpdateButton, SayingNoIsLoggedAndTheButtonComesBack) {
  server_.AnswerBody("/version_1_01.info", "Count=1\r\n" + Publish(1, "notes.txt", "n"));
  fake_.prompts.dialog_answer = {false, false};
  core_->CheckNewUpdateClick();
  ASSERT_TRUE(RunUntil([&] { return Idle() && form().CheckNewUpdate.enabled; }));
  EXPECT_NE(form().log().memo().find(Text(TextKey::UpdateDenied)), std::string::npos);
  EXPECT_EQ(core_->engine().updater_local_port, kUpdaterIdle);
  EXPECT_FALSE(fs::exists(app_.path() / "Update"));
}

}  // namespace
}  // namespace korvan
