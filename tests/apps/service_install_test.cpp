// `korvan -INSTALL` and `-UNINSTALL` as an administrator runs them, into a
// scratch unit folder: every spelling of the switch, the folders carried to
// the unit's command line, no form (no Korvan.ini, no log), and a unit that
// systemd itself accepts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/systemd_service.h"
#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

namespace fs = std::filesystem;

class ServiceInstall : public ::testing::Test {
 protected:
  ServiceInstall() {
    root_ = fs::temp_directory_path() / ("korvan-install-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "units");
    fs::create_directories(root_ / "config dir");
    ::setenv("KORVAN_SYSTEMD_UNIT_DIR", (root_ / "units").c_str(), 1);
  }
  ~ServiceInstall() override {
    ::unsetenv("KORVAN_SYSTEMD_UNIT_DIR");
    fs::remove_all(root_);
  }
  int Run(const std::vector<std::string>& args) {
    test::ChildProcess korvan(test::BinDir() / "korvan", args, root_ / "out.txt");
    const int status = korvan.Wait();
    output_ = korvan.Output();
    return status;
  }
  fs::path unit() const { return root_ / "units" / "korvan.service"; }

  fs::path root_;
  std::string output_;
};

TEST_F(ServiceInstall, EverySpellingInstallsAndUninstallsWithoutAForm) {
  for (const auto& [install, uninstall] : std::vector<std::pair<std::string, std::string>>{
           {"-INSTALL", "-UNINSTALL"}, {"/install", "/Uninstall"}, {"\\Install", "\\uninstall"}}) {
    SCOPED_TRACE(install);
    ASSERT_EQ(Run({install, "--config-dir", (root_ / "config dir").string()}), 0) << output_;
    EXPECT_NE(output_.find("wrote " + unit().string()), std::string::npos) << output_;
    EXPECT_NE(output_.find("systemd was not told"), std::string::npos) << output_;
    const std::string text = test::ReadFileText(unit());
    EXPECT_NE(text.find("ExecStart=" + (test::BinDir() / "korvan").string() + " --service --config-dir \"" +
                        (root_ / "config dir").string() + "\"\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(fs::is_empty(root_ / "config dir")) << "no form: no Korvan.ini, no log";
    ASSERT_EQ(Run({uninstall}), 0) << output_;
    EXPECT_FALSE(fs::exists(unit()));
  }
  EXPECT_EQ(Run({"-UNINSTALL"}), 0) << "removing what is not there is no failure";
  EXPECT_NE(output_.find("not installed"), std::string::npos) << output_;
}

TEST_F(ServiceInstall, SystemdAcceptsTheUnit) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze not installed";
  ASSERT_EQ(Run({"-INSTALL", "--app-dir", test::BinDir().string()}), 0) << output_;
  const std::string text = test::ReadFileText(unit());
  for (const char* line : {"User=korvan\n", "ProtectSystem=strict\n", "NoNewPrivileges=yes\n",
                           "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n", "Restart=on-failure\n",
                           "KillMode=process\n", "StateDirectory=korvan\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  const std::string command = "systemd-analyze verify --man=no '" + unit().string() + "' > '" +
                              (root_ / "verify.txt").string() + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << test::ReadFileText(root_ / "verify.txt");
}

TEST(ServiceProcess, IsTheUnitsServiceOnlyInItsControlGroupAndAsItsUser) {
  const std::string unit = "[Service]\nUser=korvan\n";
  EXPECT_TRUE(IsServiceProcess("0::/system.slice/korvan.service\n", unit, "korvan"));
  EXPECT_FALSE(IsServiceProcess("0::/system.slice/korvan.service\n", unit, "alice")) << "another user";
  EXPECT_FALSE(IsServiceProcess("0::/user.slice/user-1000.slice/session-2.scope\n", unit, "korvan"));
  EXPECT_FALSE(IsServiceProcess("0::/system.slice/korvan.service\n", "", "korvan")) << "no unit installed";
  EXPECT_FALSE(IsServiceProcess("0::/system.slice/notkorvan.service.d\n", unit, "korvan"));
}

}  // namespace
}  // namespace korvan
