// The check and download threads against a real HTTP server on loopback
// (standing in for the program's own proxy port), with the UI thread's side
// recorded: what the user would see, what is stored in Update/.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "localisation/text_table.h"
#include "platform/event_loop.h"
#include "platform/posix_stream_socket.h"
#include "tests/support/test_paths.h"
#include "tests/updater/recording_updater_host.h"
#include "tests/updater/test_signing.h"
#include "tests/updater/update_test_server.h"
#include "updater/file_digest.h"
#include "updater/update_block.h"
#include "updater/update_threads.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class UpdateThreads : public ::testing::Test {
 protected:
  UpdateThreads() : app_(fs::temp_directory_path() / ("korvan-updater-" + std::to_string(::getpid()))) {
    fs::remove_all(app_);
    fs::create_directories(app_);
  }
  ~UpdateThreads() override { fs::remove_all(app_); }

  UpdaterContext Context() {
    UpdaterSettings s;
    s.app_dir = app_;
    s.update_dir = app_ / "Update";
    s.port = server_.port();
    s.update_host = "updates.test";
    s.version_text = "1.0 (Build 0.509)";
    s.product_version = {1, 0, 0, 509};
    s.help_file_name = "Korvan.chm";
    s.preferred_languages = "cz,en";
    s.check_wait_ms = 400;
    s.download_wait_ms = 400;
    s.io_timeout_ms = 1000;
    s.managed_by_package = managed_by_package_;
    return UpdaterContext{loop_, network_, host_, texts_, s};
  }

  // Runs the UI thread's hand-offs until `done` (at most ten seconds).
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (steady_clock::now() > deadline) return false;
      loop_.RunPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  void Check() {
    TCheckUpdateThread thread(Context());
    ASSERT_TRUE(RunUntil([&] { return thread.finished(); }));
  }
  void Download(const UpdateFileList& files) {
    TDownloadUpdateThread thread(Context(), files);
    ASSERT_TRUE(RunUntil([&] { return thread.finished(); }));
  }

  // Publishes `content` as `name` and returns its list entry.
  UpdateFileEntry Publish(const std::string& name, const std::string& content) {
    const std::string block = PackUpdateBlock(content);
    server_.AnswerBody("/" + name + ".kub", block);
    return {name, server_.url("/" + name + ".kub"), static_cast<std::int32_t>(block.size()), DigestText(content)};
  }

  void AnswerInfo(const std::string& info) { server_.AnswerBody("/version_1_01.info", info); }

  std::string Text(TextKey key) const { return std::string(texts_.Text(key)); }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : host_.boxes) texts.push_back(box.text);
    return texts;
  }

  fs::path app_;
  EventLoop loop_;
  PosixNetwork network_;
  test::RecordingUpdaterHost host_;
  TextTable texts_;
  test::UpdateTestServer server_;
  bool managed_by_package_ = false;
};

TEST_F(UpdateThreads, NothingDueSaysSoAndTheRequestCarriesTheHint) {
  AnswerInfo("Count=0\r\n");
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::NewVersionNotFound)});
  EXPECT_EQ(host_.boxes[0].caption, Text(TextKey::msgInformation));
  EXPECT_EQ(host_.boxes[0].type, kMbOk | kMbIconInformation);
  EXPECT_EQ(host_.check_message, Text(TextKey::NewVersionNotFound));
  // -2 while connecting, then the connection's own port, then idle.
  ASSERT_EQ(host_.statuses.size(), 3u);
  EXPECT_EQ(host_.statuses[0], -2);
  EXPECT_GT(host_.statuses[1], 0);
  EXPECT_EQ(host_.statuses[2], -1);
  ASSERT_EQ(server_.request_heads().size(), 1u);
  EXPECT_EQ(server_.request_heads()[0],
            "GET http://updates.test/version_1_01.info HTTP/1.1\r\nHost: updates.test\r\nKorvan buffer: 4096\r\n"
            "Pragma: no-cache\r\nUser-Agent: KORVAN 1.0 (Build 0.509)\r\n\r\n");
}

TEST_F(UpdateThreads, FilesAreDueByDigestOfTheInstalledCopyOrTheDownloadedOne) {
  WriteFile(app_ / "same", "installed");
  WriteFile(app_ / "fetched", "old");
  fs::create_directories(app_ / "Update");
  WriteFile(app_ / "Update" / "fetched", "new");
  WriteFile(app_ / "lower", "x");
  WriteFile(app_ / "changed", "old");
  std::string lower_digest = DigestText("x");
  for (char& c : lower_digest) c = static_cast<char>(std::tolower(c));
  AnswerInfo("Count=5\r\n"
             "Name1=same\r\nHash1=" + DigestText("installed") + "\r\nSize1=10\r\nURL1=http://u/1\r\n"
             "Name2=fetched\r\nHash2=" + DigestText("new") + "\r\nSize2=20\r\nURL2=http://u/2\r\n"
             "Name3=lower\r\nHash3=" + lower_digest + "\r\nSize3=30\r\nURL3=http://u/3\r\n"
             "Name4=changed\r\nHash4=" + DigestText("new") + "\r\nSize4=1000\r\nURL4=http://u/4\r\n"
             "Name5=missing\r\nHash5=" + DigestText("m") + "\r\nSize5=24\r\nURL5=http://u/5\r\n"
             "Description_en=Intro#13#10[1.0.0.510]#13#10Newer#13#10[1.0.0.509]#13#10Running\r\n");
  Check();
  ASSERT_EQ(host_.dialogs.size(), 1u);
  const UpdateDialogRequest& dialog = host_.dialogs[0];
  EXPECT_EQ(dialog.total_size, 1024);
  EXPECT_FALSE(dialog.help_due);
  // NewVersionFound with the size and the description of the newer version
  // only, in the first preferred language that has one.
  EXPECT_NE(dialog.memo.find("1.00 KB"), std::string::npos) << dialog.memo;
  EXPECT_NE(dialog.memo.find("Intro\r\nNewer\r\n"), std::string::npos) << dialog.memo;
  EXPECT_EQ(dialog.memo.find("Running"), std::string::npos) << dialog.memo;
  ASSERT_EQ(host_.downloads.size(), 1u);
  const UpdateFileList expected = {{"changed", "http://u/4", 1000, DigestText("new")},
                                   {"missing", "http://u/5", 24, DigestText("m")}};
  EXPECT_EQ(host_.downloads[0], expected);
  EXPECT_EQ(host_.check_message, "");
}

TEST_F(UpdateThreads, HelpFileAloneIsOfferedAndNoMeansDenied) {
  AnswerInfo("Count=0\r\nHelpCount=2\r\nHelpName1=Other.chm\r\nHelpName2= korvan.CHM \r\nHelpHash2=AB\r\n"
             "HelpSize2=2048\r\nHelpURL2=http://u/help\r\n");
  host_.answer = {false, true};
  Check();
  ASSERT_EQ(host_.dialogs.size(), 1u);
  EXPECT_TRUE(host_.dialogs[0].help_due);
  EXPECT_EQ(host_.dialogs[0].total_size, 0);
  EXPECT_NE(host_.dialogs[0].memo.find("0 B"), std::string::npos);
  EXPECT_NE(host_.dialogs[0].help_text.find("2.00 KB"), std::string::npos) << host_.dialogs[0].help_text;
  // No description: the dialog says there is none.
  EXPECT_NE(host_.dialogs[0].memo.find(Text(TextKey::UpdateInfoNotFound)), std::string::npos);
  EXPECT_TRUE(host_.downloads.empty());
  EXPECT_EQ(host_.check_message, Text(TextKey::UpdateDenied));

  host_ = {};
  Check();
  ASSERT_EQ(host_.downloads.size(), 1u);
  EXPECT_EQ(host_.downloads[0], (UpdateFileList{{"Korvan.chm", "http://u/help", 2048, "AB"}}));
}

TEST_F(UpdateThreads, WhatTheServerMustNotSendIsRefusedBeforeAnythingIsOffered) {
  const std::string hash = "\r\nHash1=00\r\nSize1=1\r\nURL1=http://u/1\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Count=1\r\nName1=../korvan" + hash, Text(TextKey::UpdateErr)},
      {"Count=1\r\nName1=/usr/bin/korvan" + hash, Text(TextKey::UpdateErr)},
      {"Count=1\r\nName1=sub/korvan" + hash, Text(TextKey::UpdateErr)},
      {"Count=x\r\n", Text(TextKey::UpdateErr)},
      {"Count=1\r\nName1=korvan\r\nSize1=big\r\n", Text(TextKey::UpdateErr)},
  };
  for (const auto& [info, text] : cases) {
    host_ = {};
    AnswerInfo(info);
    Check();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{text}) << info;
    EXPECT_TRUE(host_.dialogs.empty()) << info;
  }
  // A status other than 200, judged once its 12 bytes are there, also when
  // they arrive in pieces.
  host_ = {};
  server_.AnswerInPieces("/version_1_01.info", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 5);
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::UpdateErr)});
  host_ = {};
  server_.AnswerInPieces("/version_1_01.info", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nCount=0\r\n", 5);
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::NewVersionNotFound)});
  // The tunnel's own error text comes first.
  host_ = {};
  host_.last_error = "The server is down.";
  server_.Answer("/version_1_01.info", "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The server is down."});
}

TEST_F(UpdateThreads, ConnectionFailuresAndStallsEndTheCheck) {
  AnswerInfo("Count=0\r\n");
  server_.AnswerStalled("/version_1_01.info", "Count=0\r\n", 3);
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::ServerConnectionErr)});
  EXPECT_EQ(host_.boxes[0].type, kMbOk | kMbIconError);

  // Without Content-Length the body ends with the connection.
  host_ = {};
  server_.AnswerBody("/version_1_01.info", "Count=0\r\n", false);
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::NewVersionNotFound)});
}

TEST_F(UpdateThreads, WithTheMakersKeyOnlyASignedFileIsOffered) {
  const auto [public_pem, private_pem] = test::MakeKeyPair();
  WriteFile(app_ / "update-signing.pub", public_pem);
  const std::string info = "Count=1\r\nName1=korvan\r\nHash1=00\r\nSize1=5\r\nURL1=http://u/1\r\n";
  const std::string signed_info = test::Sign(info, private_pem);
  std::string tampered = signed_info;
  tampered.replace(tampered.find("Size1=5"), 7, "Size1=6");
  for (const std::string& refused : {info, tampered, test::Sign(info, test::MakeKeyPair().second)}) {
    host_ = {};
    AnswerInfo(refused);
    Check();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::UpdateErr)});
    EXPECT_TRUE(host_.dialogs.empty());
  }
  host_ = {};
  AnswerInfo(signed_info);
  Check();
  EXPECT_TRUE(host_.boxes.empty());
  EXPECT_EQ(host_.dialogs.size(), 1u);
}

TEST_F(UpdateThreads, APackageManagedInstallIsNeverChecked) {
  managed_by_package_ = true;
  Check();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::UpdateByPackageManager)});
  EXPECT_TRUE(server_.request_heads().empty());
}

TEST_F(UpdateThreads, DownloadStoresCheckedFilesAndCountsEveryBodyByte) {
  const std::string program(200000, 'p');
  const UpdateFileList files = {Publish("korvan", program), Publish("en.kvl", "texts")};
  Download(files);
  EXPECT_EQ(host_.download_succeeded, true);
  EXPECT_TRUE(host_.boxes.empty());
  EXPECT_EQ(test::ReadFileText(app_ / "Update" / "korvan"), program);
  EXPECT_EQ(test::ReadFileText(app_ / "Update" / "en.kvl"), "texts");
  EXPECT_EQ(host_.progress, files[0].Size + files[1].Size);
  // Nothing half-written stays behind.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(app_ / "Update")) ++entries;
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(host_.statuses.back(), -1);
}

TEST_F(UpdateThreads, ABadFileIsSkippedWithUpdateErrAndTheRestStillComes) {
  UpdateFileEntry damaged = Publish("damaged", "d");
  server_.AnswerBody("/damaged.kub", std::string("\x00\x01" "dX", 4));  // one byte more than its block
  UpdateFileEntry tampered = Publish("tampered", "original");
  server_.AnswerBody("/tampered.kub", PackUpdateBlock("evil"));  // a digest that does not match
  UpdateFileEntry hostile = Publish("hostile", "h");
  hostile.Name = "../hostile";
  const UpdateFileEntry good = Publish("good", "fine");
  Download({damaged, tampered, hostile, good});
  EXPECT_EQ(host_.download_succeeded, true);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>(3, Text(TextKey::UpdateErr)));
  EXPECT_FALSE(fs::exists(app_ / "Update" / "damaged"));
  EXPECT_FALSE(fs::exists(app_ / "Update" / "tampered"));
  EXPECT_FALSE(fs::exists(app_ / "hostile"));
  EXPECT_EQ(test::ReadFileText(app_ / "Update" / "good"), "fine");
}

TEST_F(UpdateThreads, AFailedResponseEndsTheDownload) {
  UpdateFileEntry missing = Publish("missing", "m");
  missing.URL = server_.url("/nowhere.kub");
  const UpdateFileEntry later = Publish("later", "l");
  Download({missing, later});
  EXPECT_EQ(host_.download_succeeded, false);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{Text(TextKey::ServerConnectionErr)});
  EXPECT_EQ(server_.requests_for("/later.kub"), 0u);

  // A stalled server, and the tunnel's error text when there is one.
  host_ = {};
  host_.last_error = "Gateway down";
  UpdateFileEntry stalled = Publish("stalled", "s");
  server_.AnswerStalled("/stalled.kub", PackUpdateBlock("s"), 1);
  Download({stalled});
  EXPECT_EQ(host_.download_succeeded, false);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Gateway down"});
  EXPECT_FALSE(fs::exists(app_ / "Update" / "stalled"));
}

TEST_F(UpdateThreads, CancelEndsADownloadWithinASecondWithoutAWord) {
  UpdateFileEntry stalled = Publish("stalled", "s");
  server_.AnswerStalled("/stalled.kub", std::string(100000, 'x'), 10);
  UpdaterContext context = Context();
  context.settings.download_wait_ms = 60000;
  TDownloadUpdateThread thread(std::move(context), {stalled});
  ASSERT_TRUE(RunUntil([&] { return host_.progress > 0 || host_.statuses.size() >= 2; }));
  const auto asked = steady_clock::now();
  thread.Terminate();
  ASSERT_TRUE(RunUntil([&] { return thread.finished(); }));
  EXPECT_LT(steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(host_.download_succeeded, false);
  EXPECT_TRUE(host_.boxes.empty());
  EXPECT_EQ(host_.statuses.back(), -1);
}

}  // namespace
}  // namespace korvan
