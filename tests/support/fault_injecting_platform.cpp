#include "tests/support/fault_injecting_platform.h"

#include "platform/locked_log_file.h"

namespace korvan::test {

std::unique_ptr<LogFile> FaultyLogOpener::Open(const std::filesystem::path& path, std::string* error) {
  return LockedLogFile::Open(path, error, calls_);
}

FaultInjectingPlatform::FaultInjectingPlatform(const std::filesystem::path& config_dir,
                                               FaultInjectingSystemCalls& calls, JumpingClock& clock)
    : clock_(clock),
      network_(calls),
      workers_(loop, clock, network_, calls),
      listeners_(workers_, "127.0.0.1"),
      profile_(config_dir / "Korvan.ini", calls),
      log_files_(calls) {}

PlatformServices FaultInjectingPlatform::Services() {
  return PlatformServices{loop,          clock_,    listeners_, workers_, profile_, log_files_, system_proxy_,
                          autostart_,    prompts,   prompts,   processes_, network_, LocaleFormat{}, "en", 7};
}

FaultyClient::FaultyClient(std::filesystem::path app_dir, std::filesystem::path config_dir,
                           FaultInjectingSystemCalls& calls, JumpingClock& clock) {
  auto ready = ready_.get_future();
  thread_ = std::thread([this, app_dir, config_dir, &calls, &clock] {
    FaultInjectingPlatform platform(config_dir, calls, clock);
    ClientCore core(platform.Services(), CoreOptions{app_dir, /*service_mode=*/true, {}, {}});
    started_ = core.Start();
    loop_ = &platform.loop;
    core_ = &core;
    platform_ = &platform;
    ready_.set_value();
    if (started_) platform.loop.Run();
    core.Stop();
    platform.loop.Finish();
  });
  ready.wait();
}

FaultyClient::~FaultyClient() { Stop(); }

void FaultyClient::OnMain(const std::function<void(ClientCore&, FaultInjectingPlatform&)>& fn) {
  loop_->Invoke([&] { fn(*core_, *platform_); });
}

void FaultyClient::Stop() {
  if (!thread_.joinable()) return;
  if (started_) loop_->Quit();
  thread_.join();
}

}  // namespace korvan::test
