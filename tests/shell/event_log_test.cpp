#include <gtest/gtest.h>

#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"

namespace korvan {
namespace {

TEST(EventLog, StartLineEntriesAndEndLineWithItsEmptyLine) {
  test::FakeShell shell;
  shell.log_content = "15.03.2023 11:00:00 - earlier run\r\n";
  {
    KorvanForm form(shell.Services());
    form.Open(shell.LogFileHandle(), {});
    EXPECT_EQ(form.log().memo(),
              "15.03.2023 11:00:00 - earlier run\r\n15.03.2023 12:00:00 - Spu\x9At\xECn\xED aplikace\r\n");
    EXPECT_EQ(form.log().selection(), form.log().memo().size());
    form.Close();
    EXPECT_EQ(form.log().memo().find("Konec"), std::string::npos);  // file only
  }
  EXPECT_EQ(shell.log_content,
            "15.03.2023 11:00:00 - earlier run\r\n"
            "15.03.2023 12:00:00 - Spu\x9At\xECn\xED aplikace\r\n"
            "15.03.2023 12:00:00 - Konec aplikace\r\n\r\n");
}

TEST(EventLog, ClearEmptiesMemoAndFileAndLaterEntriesStartAfresh) {
  test::FakeShell shell;
  shell.log_content = "old\r\n";
  KorvanForm form(shell.Services());
  form.Open(shell.LogFileHandle(), {});
  form.SetTrayIcon(1);
  form.ClearLogClick();
  EXPECT_EQ(form.log().memo(), "");
  EXPECT_EQ(shell.log_content, "");
  EXPECT_FALSE(form.alarm());
  form.WriteToLog("after");
  EXPECT_EQ(shell.log_content, "15.03.2023 12:00:00 - after\r\n");
}

TEST(EventLog, AFileCutOffMidLineGetsItsLineBreak) {
  test::FakeShell shell;
  shell.log_content = "half a li";
  KorvanForm form(shell.Services());
  form.Open(shell.LogFileHandle(), {});
  EXPECT_EQ(shell.log_content.substr(0, 11), "half a li\r\n");
  EXPECT_EQ(form.log().memo().substr(0, 11), "half a li\r\n");
}

TEST(EventLog, LinesTheDiskRefusesWaitAndFollowInOrder) {
  test::FakeShell shell;
  KorvanForm form(shell.Services());
  form.Open(shell.LogFileHandle(), {});
  const std::string before = shell.log_content;
  shell.log_full = true;
  form.WriteToLog("one");
  form.WriteToLog("two");
  EXPECT_EQ(shell.log_content, before);
  EXPECT_EQ(shell.prompts.errors, (std::vector<std::string>{"korvan.log: disk full"})) << "told once, not per line";
  EXPECT_TRUE(form.alarm());
  EXPECT_NE(form.log().memo().find("two"), std::string::npos) << "the memo shows every line meanwhile";

  shell.log_full = false;
  form.WriteToLog("three");
  EXPECT_EQ(shell.log_content, before +
                                   "15.03.2023 12:00:00 - one\r\n"
                                   "15.03.2023 12:00:00 - two\r\n"
                                   "15.03.2023 12:00:00 - three\r\n");
  EXPECT_TRUE(form.log().file_error().empty());
  EXPECT_EQ(form.log().pending_bytes(), 0U);

  // A later failure is told again, and the end line takes what waits.
  shell.log_full = true;
  form.WriteToLog("four");
  EXPECT_EQ(shell.prompts.errors.size(), 2U);
  shell.log_full = false;
  form.Close();
  EXPECT_TRUE(shell.log_content.ends_with("four\r\n15.03.2023 12:00:00 - Konec aplikace\r\n\r\n"));
}

TEST(WorkerMessages, ConnectionErrorsOnlyWhenAskedForAndEveryWrittenOneRaisesTheAlarm) {
  test::FakeShell shell;
  KorvanForm form(shell.Services());
  form.Open(shell.LogFileHandle(), {});
  const std::string server_error(shell.texts.Text(TextKey::ServerConnectionErr));
  const std::string proxy_error(shell.texts.Text(TextKey::ParentProxyErr));
  const std::size_t before = form.log().memo().size();

  form.ReportWorkerMessage(server_error);
  form.ReportWorkerMessage(proxy_error);
  EXPECT_EQ(form.log().memo().size(), before);
  EXPECT_FALSE(form.alarm());
  EXPECT_EQ(form.active_page(), 0);

  form.ReportWorkerMessage("Something else");
  EXPECT_NE(form.log().memo().find("Something else"), std::string::npos);
  EXPECT_TRUE(form.alarm());
  EXPECT_EQ(form.active_page(), kMessagesPage);

  form.PageControl1Change(1);
  EXPECT_FALSE(form.alarm());
  form.settings.ListConnectErr.checked = true;
  form.ReportWorkerMessage(server_error);
  EXPECT_NE(form.log().memo().find(server_error), std::string::npos);
  EXPECT_TRUE(form.alarm());
  form.PageControl1Change(0);
  form.SetTrayIcon(1);
  form.miShowClick();
  EXPECT_EQ(form.active_page(), kMessagesPage);
  EXPECT_FALSE(form.alarm());
}

}  // namespace
}  // namespace korvan
