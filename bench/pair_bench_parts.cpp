#include "bench/pair_bench_parts.h"

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "shell/settings_page.h"

namespace korvan::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kHoldFirst = 64 * 1024;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool RunQuiet(const std::vector<std::string>& args) {
  std::string command;
  for (const std::string& a : args) command += "'" + a + "' ";
  return std::system((command + ">/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

// ---- Origin -----------------------------------------------------------------

Origin::Origin(std::vector<Resource> resources, std::string pattern)
    : resources_(std::move(resources)), pattern_(std::move(pattern)) {
  if (pattern_.empty()) pattern_ = "<p>empty</p>\n";
  while (small_.size() < 1024) small_ += pattern_.substr(0, std::min<std::size_t>(pattern_.size(), 1024));
  small_.resize(1024);
  listener_ = std::make_unique<Listener>([this](int fd) { Serve(fd); });
}

Origin::~Origin() {
  OpenGate();
  listener_.reset();
}

void Origin::OpenGate() {
  MutexLock lock(gate_mutex_);
  gate_open_ = true;
  gate_cv_.NotifyAll();
}

void Origin::Serve(int fd) {
  std::string buffered;
  for (;;) {
    std::size_t end = 0;
    while ((end = buffered.find("\r\n\r\n")) == std::string::npos) {
      char chunk[16384];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0 || buffered.size() > 65536) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
      buffered.append(chunk, static_cast<std::size_t>(n));
    }
    // GET and HEAD only: no request carries a body.
    const std::string head = Lower(buffered.substr(0, end + 2));
    buffered.erase(0, end + 4);
    const std::size_t sp1 = head.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? std::string::npos : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) break;
    std::string path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    if (path.starts_with("http://")) {  // absolute form, as some proxies forward
      const std::size_t slash = path.find('/', 7);
      path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    const std::size_t ae = head.find("\r\naccept-encoding:");
    const bool gzip_ok =
        ae != std::string::npos && head.substr(ae, head.find("\r\n", ae + 2) - ae).find("gzip") != std::string::npos;
    const bool close = head.find("\r\nconnection: close") != std::string::npos ||
                       (head.find(" http/1.0\r\n") != std::string::npos &&
                        head.find("\r\nconnection: keep-alive") == std::string::npos);
    if (!Answer(fd, path, gzip_ok) || close) break;
  }
  ::shutdown(fd, SHUT_RDWR);
}

bool Origin::Answer(int fd, const std::string& path, bool gzip_ok) {
  const auto header = [](const std::string& type, std::uint64_t length, bool gzip) {
    return "HTTP/1.1 200 OK\r\nServer: bench-origin\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           (gzip ? "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n" : "") + "\r\n";
  };
  const auto number = [&](std::size_t prefix) -> std::uint64_t {
    return std::strtoull(path.c_str() + prefix, nullptr, 10);
  };
  if (path.starts_with("/r/")) {
    const std::uint64_t i = number(3);
    if (i < resources_.size()) {
      const Resource& r = resources_[i];
      const bool gzip = gzip_ok && !r.gzipped.empty();
      const std::string& body = gzip ? r.gzipped : r.body;
      return SendAll(fd, header(r.type, body.size(), gzip) + body);
    }
  } else if (path == "/small") {
    return SendAll(fd, header("text/html", small_.size(), false) + small_);
  } else if (path.starts_with("/big/") || path.starts_with("/hold/")) {
    const bool hold = path.starts_with("/hold/");
    const std::uint64_t size = number(hold ? 6 : 5);
    return SendAll(fd, header("text/html", size, false)) && Stream(fd, size, hold);
  }
  const std::string text = "not here\n";
  return SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: " +
                         std::to_string(text.size()) + "\r\n\r\n" + text);
}

bool Origin::Stream(int fd, std::uint64_t size, bool hold) {
  std::uint64_t sent = 0;
  std::size_t at = 0;
  bool waited = !hold;
  while (sent < size) {
    if (!waited && sent >= kHoldFirst) {
      ++held_;
      MutexLock lock(gate_mutex_);
      while (!gate_open_) gate_cv_.Wait(gate_mutex_);
      waited = true;
    }
    std::uint64_t n = std::min<std::uint64_t>(pattern_.size() - at, size - sent);
    if (!waited) n = std::min<std::uint64_t>(n, kHoldFirst - sent);
    if (!SendAll(fd, std::string_view(pattern_).substr(at, static_cast<std::size_t>(n)))) return false;
    sent += n;
    at = (at + static_cast<std::size_t>(n)) % pattern_.size();
  }
  return true;
}

// ---- Scratch folders and programs -------------------------------------------

ScratchDir::ScratchDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

bool WaitForPort(std::uint16_t port, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (const int fd = ConnectLoopback(port); fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::string ClientIni(const ClientSettings& settings, std::uint16_t server_port, std::uint16_t http_port) {
  std::ostringstream ini;
  ini << "[Config]\r\nIDSE_Value=100000001\r\nPassEL_Text=demo\r\nLanguage=en.kvl\r\n"
      << "ServerAddress=127.0.0.1\r\nServerPort=" << server_port << "\r\n"
      << "JPEGCompress=" << settings.jpeg_level << "\r\nGIFCompress=" << settings.gif_level << "\r\n";
  for (const TaggedCheckBox& box : kTaggedCheckBoxes) {
    ini << box.name << "=" << ((settings.filter_word & box.filter_bit) != 0 ? 1 : 0) << "\r\n";
  }
  if (settings.max_connections > 0) ini << "MaxConnections=" << settings.max_connections << "\r\n";
  ini << "[Setup]\r\nSocketCount=1\r\n[Socket1]\r\nLPort=" << http_port << "\r\nProtocol=0\r\n";
  return ini.str();
}

KorvanPair::KorvanPair(const fs::path& bin_dir, const ClientSettings& settings, bool count_tunnel)
    : dir_("korvan-pair-bench") {
  const fs::path root = dir_.path();
  fs::create_directories(root / "app");
  fs::create_directories(root / "config");
  for (const char* f : {"cs.kvl", "en.kvl", "korvan.lvk"}) fs::copy_file(bin_dir / f, root / "app" / f);
  const std::string accounts = (root / "accounts.db").string();
  // Prepaid and with ample credit: no measure may run out of it.
  if (!RunQuiet({(bin_dir / "korvan-server").string(), "account", "add", "--accounts", accounts, "--id", "100000001",
                 "--password", "demo", "--credit", "1000000000", "--prepaid-until", "2099-12-31"})) {
    throw std::runtime_error("korvan-server account add failed");
  }
  const auto server_port = static_cast<std::uint16_t>(test::FreeLoopbackPort());
  std::vector<std::string> server_args{"--listen", "127.0.0.1:" + std::to_string(server_port), "--words",
                                       (root / "app" / "korvan.lvk").string(), "--accounts", accounts, "--allow-private",
                                       "--max-connections", "4096", "--max-account-connections", "4096"};
  if (settings.deflate_level > 0) {
    server_args.insert(server_args.end(), {"--deflate-level", std::to_string(settings.deflate_level)});
  }
  server_args.insert(server_args.end(), settings.server_options.begin(), settings.server_options.end());
  server_ = std::make_unique<test::ChildProcess>(bin_dir / "korvan-server", server_args, root / "server.txt");
  if (!WaitForPort(server_port, 10)) throw std::runtime_error("korvan-server did not start:\n" + server_->Output());
  std::uint16_t tunnel_port = server_port;
  if (count_tunnel) {
    relay_ = std::make_unique<CountingRelay>(server_port);
    tunnel_port = relay_->port();
  }
  http_port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
  std::ofstream(root / "config" / "Korvan.ini", std::ios::binary) << ClientIni(settings, tunnel_port, http_port_);
  client_ = std::make_unique<test::ChildProcess>(
      bin_dir / "korvan",
      std::vector<std::string>{"--service", "--config-dir", (root / "config").string(), "--app-dir",
                               (root / "app").string()},
      root / "client.txt");
  if (!WaitForPort(http_port_, 10)) throw std::runtime_error("korvan did not open its port:\n" + client_->Output());
}

KorvanPair::~KorvanPair() {
  if (client_->Stop(SIGTERM, 10s) != 0) std::fprintf(stderr, "korvan did not stop cleanly\n");
  if (server_->Stop(SIGTERM, 10s) != 0) std::fprintf(stderr, "korvan-server did not stop cleanly\n");
}

BaselineProxy::BaselineProxy(Kind kind, const fs::path& program)
    : dir_(kind == Kind::kSquid ? "korvan-bench-squid" : "korvan-bench-ziproxy") {
  const std::string d = dir_.path().string();
  port_ = static_cast<std::uint16_t>(test::FreeLoopbackPort());
  std::vector<std::string> args;
  const std::string user = ::getpwnam("proxy") != nullptr ? "proxy" : "nobody";
  if (kind == Kind::kSquid) {
    std::ofstream conf(dir_.path() / "squid.conf");
    conf << "http_port 127.0.0.1:" << port_ << "\nvisible_hostname korvan-bench\n";
    if (::geteuid() == 0) conf << "cache_effective_user " << user << "\n";
    conf << "pid_filename " << d << "/squid.pid\ncache_log " << d << "/cache.log\n"
         << "access_log none\ncache_store_log none\ncoredump_dir " << d << "\n"
         << "netdb_filename none\npinger_enable off\ndns_nameservers 127.0.0.1\n"
         << "cache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
         << "http_access allow localhost\nhttp_access deny all\n";
    args = {"-N", "-f", d + "/squid.conf"};
  } else {
    // The Debian package's settings (address, image quality, no
    // Content-Length rewriting), with its compression at its defaults.
    std::ofstream(dir_.path() / "ziproxy.conf") << "Port = " << port_ << "\nAddress = \"127.0.0.1\"\n"
                                                << "PIDFile = \"" << d << "/ziproxy.pid\"\n"
                                                << "UseContentLength = false\n"
                                                << "ImageQuality = {30,25,25,20}\n"
                                                << "Gzip = true\n";
    args = {"-d", "-c", d + "/ziproxy.conf"};
  }
  if (::geteuid() == 0) {
    if (const passwd* pw = ::getpwnam(user.c_str())) {
      for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
        [[maybe_unused]] const int r = ::chown(entry.path().c_str(), pw->pw_uid, pw->pw_gid);
      }
      [[maybe_unused]] const int r = ::chown(d.c_str(), pw->pw_uid, pw->pw_gid);
    }
  }
  fs::path run = program;
  // A hard bound on Squid's life, should the bench die before it can stop
  // it. Ziproxy leaves for the background at once (its pid file says where).
  if (const auto timeout = test::FindProgram("timeout"); timeout && kind == Kind::kSquid) {
    args.insert(args.begin(), {"-s", "KILL", "1800", program.string()});
    run = *timeout;
  }
  process_ = std::make_unique<test::ChildProcess>(run, args, dir_.path() / "output.txt");
  if (!WaitForPort(port_, 15)) {
    const std::string why = process_->Output() + ReadText(dir_.path() / "cache.log");
    throw std::runtime_error(program.filename().string() + " did not start:\n" + why);
  }
}

BaselineProxy::~BaselineProxy() {
  process_->Stop(SIGTERM, 5s);
  // Squid, should the wrapper have gone before passing the signal on; the
  // Ziproxy daemon and the processes it forked for connections (its group).
  if (std::ifstream pid_file(dir_.path() / "squid.pid"); pid_file) {
    if (pid_t pid = 0; pid_file >> pid && pid > 1) ::kill(pid, SIGKILL);
  }
  if (std::ifstream pid_file(dir_.path() / "ziproxy.pid"); pid_file) {
    if (pid_t pid = 0; pid_file >> pid && pid > 1) {
      ::kill(-pid, SIGTERM);
      ::kill(pid, SIGTERM);
      std::this_thread::sleep_for(200ms);
      ::kill(-pid, SIGKILL);
    }
  }
}

}  // namespace korvan::bench
