#include "tests/gui/views/view_fixture.h"

#include <fstream>

#include "gui/views/widget_text.h"
#include "tests/support/test_paths.h"

namespace korvan::test {

namespace fs = std::filesystem;

ViewFixture::ViewFixture() : app_dir_(temp_.path() / "app"), config_dir_(temp_.path() / "config") {
  fs::create_directories(app_dir_);
  fs::create_directories(config_dir_);
  for (const char* file : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(BinDir() / file, app_dir_ / file);
  profile_ = std::make_unique<ProfileFile>(config_dir_ / "Korvan.ini");
}

ViewFixture::~ViewFixture() {
  if (core_) core_->Stop();
}

void ViewFixture::WriteConfig(std::string_view bytes) {
  std::ofstream(config_dir_ / "Korvan.ini", std::ios::binary | std::ios::trunc) << bytes;
}

void ViewFixture::WriteLanguageFile(const std::string& file_name, std::string_view bytes) {
  std::ofstream(app_dir_ / file_name, std::ios::binary | std::ios::trunc) << bytes;
}

ClientCore& ViewFixture::StartCore(bool service_mode) {
  // Czech is the language the windows were designed in.
  PlatformServices services{.loop = platform_.loop,
                            .clock = platform_.clock,
                            .listeners = platform_.listeners,
                            .workers = platform_.workers,
                            .profile = *profile_,
                            .log_files = platform_.log_files,
                            .system_proxy = platform_.proxy,
                            .autostart = platform_.autostart,
                            .prompts = platform_.prompts,
                            .update_dialogs = platform_.prompts,
                            .processes = platform_.processes,
                            .network = network_,
                            .locale = LocaleFormat{},
                            .user_language = "cs",
                            .host_identity = 7};
  core_ = std::make_unique<ClientCore>(services, CoreOptions{app_dir_, service_mode, {}, {}});
  EXPECT_TRUE(core_->Start()) << core_->start_error_detail();
  return *core_;
}

std::string ViewFixture::ConfigOnDisk() const { return ReadFileText(config_dir_ / "Korvan.ini"); }

std::string Cp1250(const QString& text) { return gui::EncodeCodePage(text, gui::CodePage::k1250); }

}  // namespace korvan::test
