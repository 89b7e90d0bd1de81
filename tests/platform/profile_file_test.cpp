#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

#include "platform/config_dir.h"
#include "shell/profile.h"
#include "tests/platform/temp_dir.h"
#include "tests/support/test_paths.h"

namespace korvan {
namespace {

TEST(ProfileFile, ABareNameLivesInTheConfigurationDirectory) {
  EXPECT_EQ(ProfileFile::Locate("Korvan.ini", "/cfg"), std::filesystem::path("/cfg/Korvan.ini"));
  EXPECT_EQ(ProfileFile::Locate("sub/x.ini", "/cfg"), std::filesystem::path("sub/x.ini"));
}

TEST(ProfileFile, WritesAreOwnerOnlyAndKeepOtherSections) {
  test::TempDir dir;
  const auto path = dir.path() / "Korvan.ini";
  {
    std::ofstream(path) << "[Other]\nkeep=1\n";
  }
  ::chmod(path.c_str(), 0644);
  ProfileFile file(path);
  Profile profile(file);
  ASSERT_TRUE(profile.WriteString("Config", "PassEL_Text", "secret"));
  EXPECT_EQ(test::ReadFileText(path), "[Other]\nkeep=1\n\n[Config]\nPassEL_Text=secret\n");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // Nothing is left behind beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ProfileFile, MissingTooBigAndUnreadableFilesAreTold) {
  test::TempDir dir;
  ProfileFile missing(dir.path() / "none.ini");
  EXPECT_EQ(missing.Load().status, ProfileLoad::Status::kMissing);

  const auto big = dir.path() / "big.ini";
  {
    std::ofstream out(big, std::ios::binary);
    out << std::string(ProfileFile::kMaxFileSize + 1, 'x');
  }
  ProfileFile too_big(big);
  const auto load = too_big.Load();
  EXPECT_EQ(load.status, ProfileLoad::Status::kError);
  EXPECT_NE(load.error.find("larger"), std::string::npos);
  // A file that could not be read is not overwritten.
  Profile profile(too_big);
  EXPECT_FALSE(profile.WriteBool("Config", "ShutDownOK", false));
  EXPECT_EQ(std::filesystem::file_size(big), ProfileFile::kMaxFileSize + 1);

  ProfileFile folder(dir.path());
  EXPECT_EQ(folder.Load().status, ProfileLoad::Status::kError);
}

TEST(ProfileFile, AFailedReplaceLeavesTheOldContent) {
  test::TempDir dir;
  const auto sub = dir.path() / "gone";
  ProfileFile file(sub / "Korvan.ini");
  std::string error;
  EXPECT_FALSE(file.Replace("[A]\nb=c\n", &error));
  EXPECT_FALSE(error.empty());
}

TEST(ConfigDirectory, OptionThenEnvironmentThenXdgThenHome) {
  std::map<std::string, const char*> env;
  const auto lookup = [&env](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second;
  };
  EXPECT_EQ(ChooseConfigDirectory(std::nullopt, lookup, "/home/u"), std::filesystem::path("/home/u/.config/korvan"));
  env["HOME"] = "/h";
  EXPECT_EQ(ChooseConfigDirectory(std::nullopt, lookup, "/home/u"), std::filesystem::path("/h/.config/korvan"));
  env["XDG_CONFIG_HOME"] = "/x";
  EXPECT_EQ(ChooseConfigDirectory(std::nullopt, lookup, "/home/u"), std::filesystem::path("/x/korvan"));
  env["KORVAN_CONFIG_DIR"] = "";
  EXPECT_EQ(ChooseConfigDirectory(std::nullopt, lookup, "/home/u"), std::filesystem::path("/x/korvan"));
  env["KORVAN_CONFIG_DIR"] = "/k";
  EXPECT_EQ(ChooseConfigDirectory(std::nullopt, lookup, "/home/u"), std::filesystem::path("/k"));
  EXPECT_EQ(ChooseConfigDirectory(std::filesystem::path("/o"), lookup, "/home/u"), std::filesystem::path("/o"));
}

TEST(ProgramDataFolder, IsTheProgramFolderWhileWritableElseTheStateFolder) {
  std::map<std::string, const char*> env;
  const auto lookup = [&env](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second;
  };
  bool writable = true;
  const auto can_write = [&writable](const std::filesystem::path&) { return writable; };
  const std::filesystem::path app = "/opt/korvan";
  EXPECT_EQ(ChooseProgramDataFolder(app, lookup, "/home/u", can_write), app);
  EXPECT_EQ(ChooseProgramDataFolder("/usr/lib/korvan", lookup, "/home/u", can_write), "/home/u/.local/state/korvan")
      << "the package's folder, even for root";
  writable = false;
  EXPECT_EQ(ChooseProgramDataFolder(app, lookup, "/home/u", can_write), "/home/u/.local/state/korvan");
  env["HOME"] = "/h";
  env["XDG_STATE_HOME"] = "relative/is/ignored";
  EXPECT_EQ(ChooseProgramDataFolder(app, lookup, "/home/u", can_write), "/h/.local/state/korvan");
  env["XDG_STATE_HOME"] = "/s";
  EXPECT_EQ(ChooseProgramDataFolder(app, lookup, "/home/u", can_write), "/s/korvan");
}

TEST(ConfigDirectory, IsCreatedWhenMissing) {
  test::TempDir dir;
  const auto wanted = dir.path() / "a" / "korvan";
  std::string error;
  EXPECT_EQ(ConfigDirectory(wanted, &error), wanted);
  EXPECT_TRUE(std::filesystem::is_directory(wanted));
}

}  // namespace
}  // namespace korvan
