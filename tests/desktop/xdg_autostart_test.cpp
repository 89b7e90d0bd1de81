// The autostart entry: written with the program's path while the check box
// is on, gone when it is off, and read back as the check box's state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/xdg_autostart.h"
#include "shell/korvan_form.h"
#include "tests/shell/shell_fakes.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

TEST(XdgAutostart, ExecQuotesWhatTheDesktopEntryRulesReserve) {
  const std::string text = XdgAutostart::EntryText({"/opt/my korvan/korvan", "--config-dir", "/home/u/100%", "a\"b\\c"});
  EXPECT_NE(text.find("\nExec=\"/opt/my korvan/korvan\" --config-dir /home/u/100%% \"a\\\\\"b\\\\\\\\c\"\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n"));
}

TEST(XdgAutostart, TheFormWritesRemovesAndReadsTheEntry) {
  const fs::path config_home = fs::temp_directory_path() / ("korvan-autostart-" + std::to_string(::getpid()));
  fs::remove_all(config_home);
  XdgAutostart autostart(config_home, {"/usr/lib/korvan/korvan"});
  test::FakeShell shell;
  const auto start = [&] {
    ShellServices services{shell.profile, shell.listeners, shell.pump,   shell.clock,         shell.proxy,
                           autostart,     shell.prompts,   shell.texts, LocaleFormat{}, 7};
    auto form = std::make_unique<KorvanForm>(services);
    form->Open(shell.LogFileHandle(), {});
    return form;
  };
  {
    auto form = start();
    EXPECT_FALSE(form->settings.Autostart.checked);
    EXPECT_FALSE(fs::exists(autostart.file())) << "the start-up Save writes no entry while unchecked";
    form->settings.Autostart.checked = true;
    ASSERT_TRUE(form->WriteINI());
    EXPECT_NE(test::ReadFileText(autostart.file()).find("\nExec=/usr/lib/korvan/korvan\n"), std::string::npos);
  }
  {
    auto form = start();
    EXPECT_TRUE(form->settings.Autostart.checked) << "read from the entry's presence";
    form->settings.Autostart.checked = false;
    ASSERT_TRUE(form->WriteINI());
    EXPECT_FALSE(fs::exists(autostart.file()));
    EXPECT_TRUE(autostart.last_error().empty());
  }
  fs::remove_all(config_home);
}

}  // namespace
}  // namespace korvan
