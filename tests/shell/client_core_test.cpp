// The client core over the platform bundle in memory: the start-up and
// tear-down order, the starts that fail, the tray's restart and exit, and
// the model's change notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "shell/client_core.h"
#include "tests/platform/temp_dir.h"
#include "tests/shell/fake_platform.h"
#include "tests/support/test_paths.h"
#include "wire/frame_writer.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;
using test::FakePlatform;

// The position of the first journal line that starts with `prefix`.
std::ptrdiff_t At(const test::Journal& journal, std::string_view prefix, std::size_t from = 0) {
  const auto it = std::find_if(journal.begin() + static_cast<std::ptrdiff_t>(from), journal.end(),
                               [&](const std::string& line) { return line.starts_with(prefix); });
  return it == journal.end() ? -1 : it - journal.begin();
}

class ClientCoreTest : public ::testing::Test {
 protected:
  ClientCoreTest() {
    for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(test::BinDir() / file, app_.path() / file);
    platform_.profile.bytes = "[Config]\r\nLanguage=en.kvl\r\n[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=3128\r\n";
  }
  std::unique_ptr<ClientCore> MakeCore(bool service_mode = false, fs::path config_dir_argument = {}) {
    return std::make_unique<ClientCore>(platform_.Services(),
                                        CoreOptions{app_.path(), service_mode, {}, std::move(config_dir_argument)});
  }

  test::TempDir app_;
  FakePlatform platform_;
};

TEST_F(ClientCoreTest, StartsAndStopsInOrder) {
  auto core = MakeCore();
  ASSERT_TRUE(core->Start());
  const test::Journal& j = platform_.journal;
  // The language first (the log's start line is already in it), then the
  // workers, the log, the configuration and its ports, the timer.
  EXPECT_EQ(At(j, "log: Application started"), At(j, "log opened") + 1);
  EXPECT_LT(At(j, "workers begin"), At(j, "log opened"));
  const auto log_opened = static_cast<std::size_t>(At(j, "log opened"));
  const auto configuration = At(j, "ini read", log_opened);
  ASSERT_GT(configuration, 0);
  EXPECT_LT(configuration, At(j, "listener"));
  EXPECT_LT(At(j, "listener"), At(j, "timer started 1000 ms"));
  EXPECT_EQ(platform_.workers.words->version(), core->form().working.login_block[9]) << "the login names the list";
  EXPECT_TRUE(core->form().form_ready());
  EXPECT_EQ(platform_.log_files.opened_path, app_.path() / "korvan.log");

  const std::size_t started = j.size();
  core->Stop();
  // Reverse order: the timer, the configuration, the end line, and the
  // workers last (their final hand-offs still reach the shell).
  const auto timer = At(j, "timer stopped", started);
  const auto ini = At(j, "ini written", started);
  const auto end = At(j, "log: Application closed", started);
  const auto workers = At(j, "workers ended", started);
  ASSERT_GE(timer, 0);
  EXPECT_LT(timer, ini);
  EXPECT_LT(ini, end);
  EXPECT_LT(end, workers);
  EXPECT_NE(platform_.profile.bytes->find("ShutDownOK=1"), std::string::npos);
  core->Stop();  // a second stop does nothing
  EXPECT_EQ(std::count(j.begin(), j.end(), "workers ended"), 1);
}

TEST_F(ClientCoreTest, FailedStartsShowTheReasonAndWriteNothing) {
  const std::string ini = *platform_.profile.bytes;
  {
    fs::remove(app_.path() / "cs.kvl");
    fs::remove(app_.path() / "en.kvl");
    auto core = MakeCore();
    EXPECT_FALSE(core->Start());
    EXPECT_EQ(platform_.prompts.errors, (std::vector<std::string>{"Language definition file was not found."}));
    EXPECT_EQ(At(platform_.journal, "workers begin"), -1) << "no worker may start without a language";
  }
  for (const char* file : {"cs.kvl", "en.kvl"}) fs::copy_file(test::BinDir() / file, app_.path() / file);
  {
    std::ofstream(app_.path() / "korvan.lvk", std::ios::binary | std::ios::trunc) << "damaged";
    auto core = MakeCore();
    EXPECT_FALSE(core->Start());
    EXPECT_EQ(platform_.prompts.errors.back(), "File KORVAN.LVK is corrupted.");
    EXPECT_FALSE(core->start_error_detail().empty());
    EXPECT_EQ(At(platform_.journal, "workers begin"), -1) << "no worker may pack without the word list";
  }
  fs::copy_file(test::BinDir() / "korvan.lvk", app_.path() / "korvan.lvk", fs::copy_options::overwrite_existing);
  {
    platform_.log_files.refuse = true;
    auto core = MakeCore();
    EXPECT_FALSE(core->Start());
    EXPECT_NE(platform_.prompts.errors.back().find("held by another process"), std::string::npos);
  }
  EXPECT_EQ(*platform_.profile.bytes, ini);
  EXPECT_EQ(platform_.profile.replacements, 0);
  EXPECT_EQ(platform_.listeners.state.created, 0);
}

TEST_F(ClientCoreTest, RestartAndExitHandTheEndToTheUpdater) {
  {
    auto core = MakeCore();
    ASSERT_TRUE(core->Start());
    core->miCloseClick();
    EXPECT_EQ(platform_.loop.quits, 1);
    core->Stop();
    core->RunUpdater();
  }
  {
    auto core = MakeCore();
    ASSERT_TRUE(core->Start());
    core->miRestartClick();
    EXPECT_EQ(platform_.loop.quits, 2) << "a restart in window mode ends the loop";
    core->Stop();
    core->RunUpdater();
  }
  {
    auto core = MakeCore(/*service_mode=*/true);
    ASSERT_TRUE(core->Start());
    core->miRestartClick();
    EXPECT_EQ(platform_.loop.quits, 3) << "the service ends itself, which stops its unit";
    core->Stop();
    core->RunUpdater();
  }
  {
    // The restarted client reads the configuration this one was given.
    auto core = MakeCore(false, "/home/u/korvan config");
    ASSERT_TRUE(core->Start());
    core->miRestartClick();
    core->Stop();
    core->RunUpdater();
  }
  const std::string updater = (app_.path() / "korvan-update").string();
  EXPECT_EQ(platform_.processes.started,
            (std::vector<std::string>{updater, updater + " /R", updater + " /RS",
                                      updater + " /R --config-dir /home/u/korvan config"}));
}

TEST_F(ClientCoreTest, ADeliveredUpdaterReplacesTheOldOneBeforeItStarts) {
  fs::create_directories(app_.path() / "Update");
  std::ofstream(app_.path() / "korvan-update") << "old";
  std::ofstream(app_.path() / "Update" / "korvan-update") << "new";
  auto core = MakeCore();
  core->RunUpdater();
  std::ifstream in(app_.path() / "korvan-update");
  std::string content;
  in >> content;
  EXPECT_EQ(content, "new");
  EXPECT_FALSE(fs::exists(app_.path() / "Update" / "korvan-update"));
}

TEST_F(ClientCoreTest, TheLanguageChosenIsAppliedAndAnnounced) {
  auto core = MakeCore();
  ASSERT_TRUE(core->Start());
  EXPECT_EQ(core->texts().Text(TextKey::ApplicationStart), "Application started");
  int announced = 0;
  const Subscription s = core->form().changes.Subscribe(ModelChange::kSettings, [&] { ++announced; });
  const auto cs = std::find(core->form().settings.language_files.begin(), core->form().settings.language_files.end(),
                            "cs.kvl") - core->form().settings.language_files.begin();
  core->form().settings.LanguageCB.select(static_cast<int>(cs));
  core->ApplySelectedLanguage();
  EXPECT_NE(core->texts().Text(TextKey::ApplicationStart), "Application started");
  EXPECT_EQ(announced, 1);
}

TEST_F(ClientCoreTest, ViewsHearOfEveryChangeTheyShow) {
  auto core = MakeCore();
  ASSERT_TRUE(core->Start());
  KorvanForm& form = core->form();
  std::map<ModelChange, int> heard;
  std::vector<Subscription> subscriptions;
  for (ModelChange what : {ModelChange::kStatistics, ModelChange::kChart, ModelChange::kLog, ModelChange::kAlarm,
                           ModelChange::kConnectionCount, ModelChange::kPortTable, ModelChange::kSettings,
                           ModelChange::kEditMode, ModelChange::kActivePage}) {
    subscriptions.push_back(form.changes.Subscribe(what, [&heard, what] { ++heard[what]; }));
  }
  // A worker's report: counters, a connection, a text for the log.
  StatusReport report;
  report.counters.delivered = 4096;
  report.connection_delta = 1;
  report.status_text = "hello from the server";
  core->engine().ReportStatus(report);
  EXPECT_EQ(heard[ModelChange::kStatistics], 1);
  EXPECT_EQ(heard[ModelChange::kConnectionCount], 1);
  EXPECT_EQ(heard[ModelChange::kLog], 1);
  EXPECT_EQ(heard[ModelChange::kAlarm], 1);
  EXPECT_EQ(heard[ModelChange::kActivePage], 1);
  EXPECT_EQ(form.open_connections(), 1);

  platform_.loop.FireTimers();
  EXPECT_EQ(heard[ModelChange::kChart], 1);
  form.Button1Click(true);
  form.Button1Click(true);
  EXPECT_EQ(heard[ModelChange::kEditMode], 2);
  form.ResetConnClick();
  EXPECT_EQ(heard[ModelChange::kPortTable], 1);
  const int settings = heard[ModelChange::kSettings];
  form.IGNAppFlashClick();
  EXPECT_EQ(heard[ModelChange::kSettings], settings + 1);
  form.PageControl1Change(form.active_page());  // no change, nothing to hear
  EXPECT_EQ(heard[ModelChange::kActivePage], 1);

  subscriptions.clear();
  form.WriteToLog("nobody listens");
  EXPECT_EQ(heard[ModelChange::kLog], 1) << "an ended subscription hears nothing";
}

TEST(ChangeNotifier, ListenersMayEndSubscriptionsWhileBeingNotified) {
  ChangeNotifier notifier;
  int first = 0, second = 0;
  Subscription b;
  Subscription a = notifier.Subscribe(ModelChange::kLog, [&] {
    ++first;
    b = Subscription();  // ends the other one before it is reached
  });
  b = notifier.Subscribe(ModelChange::kLog, [&] { ++second; });
  notifier.Notify(ModelChange::kLog);
  notifier.Notify(ModelChange::kAlarm);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  // A subscription that outlives its notifier ends quietly.
  auto gone = std::make_unique<ChangeNotifier>();
  Subscription late = gone->Subscribe(ModelChange::kLog, [] {});
  gone.reset();
}

}  // namespace
}  // namespace korvan
