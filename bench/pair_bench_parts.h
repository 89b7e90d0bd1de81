// The programs the service benchmark starts on loopback: an HTTP origin that
// serves the corpus and generated text, the KORVAN pair (korvan-server with a
// demo account and korvan --service in front of it), and the baselines Squid
// and Ziproxy, each in a scratch folder of its own that goes with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/pair_bench_net.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "tests/support/child_process.h"
#include "tests/support/test_paths.h"

namespace korvan::bench {

// One file the origin serves.
struct Resource {
  std::string kind;  // html, css, js, json, gif, jpeg
  std::string name;  // its corpus name, for messages
  std::string type;  // Content-Type
  std::string body;
  std::string gzipped;  // gzip -9 of the body, for text kinds only
};

// An HTTP/1.1 origin on 127.0.0.1 with keep-alive:
//   /r/N      resource N, gzip-encoded when the request accepts gzip and the
//             kind is text;
//   /small    1 KiB of markup;
//   /big/N    N bytes of markup, written from `pattern` as fast as taken;
//   /hold/N   the same, but after the first 64 KiB it waits for OpenGate().
//
// Thread rule: the public methods belong to the benchmark's thread; every
// connection is served on a thread of the listener's. `gate_mutex_` guards
// the gate, which held answers wait on through `gate_cv_`.
class Origin {
 public:
  Origin(std::vector<Resource> resources, std::string pattern);
  ~Origin();
  std::uint16_t port() const { return listener_->port(); }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }
  const std::vector<Resource>& resources() const { return resources_; }
  // Answers of /hold/N waiting at the gate.
  int held() const { return held_.load(); }
  void OpenGate() KORVAN_EXCLUDES(gate_mutex_);

 private:
  void Serve(int fd) KORVAN_EXCLUDES(gate_mutex_);
  bool Answer(int fd, const std::string& path, bool gzip_ok) KORVAN_EXCLUDES(gate_mutex_);
  bool Stream(int fd, std::uint64_t size, bool hold) KORVAN_EXCLUDES(gate_mutex_);

  std::vector<Resource> resources_;
  std::string pattern_;
  std::string small_;
  Mutex gate_mutex_;
  CondVar gate_cv_;
  bool gate_open_ KORVAN_GUARDED_BY(gate_mutex_) = false;
  std::atomic<int> held_{0};
  std::unique_ptr<Listener> listener_;  // last: its threads use the members above
};

// A scratch folder, removed with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix);
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The client's settings that steer the server.
struct ClientSettings {
  int jpeg_level = 7;  // the client's defaults
  int gif_level = 15;
  std::uint16_t filter_word = 0;
  int deflate_level = 0;  // the server's --deflate-level; 0 leaves its default
  int max_connections = 0;  // the client's MaxConnections; 0 leaves its default
  std::vector<std::string> server_options{};  // more options for korvan-server
};

// The client's Korvan.ini: the demo account, the server at
// 127.0.0.1:server_port, the picture levels and the filter word (as the
// check boxes it is made of), one HTTP port.
std::string ClientIni(const ClientSettings& settings, std::uint16_t server_port, std::uint16_t http_port);

// korvan-server and korvan --service with one HTTP port. With `count_tunnel`
// the client's server address is a counting relay in front of the server,
// so `tunnel()` holds the bytes of every tunnel in both directions.
class KorvanPair {
 public:
  KorvanPair(const std::filesystem::path& bin_dir, const ClientSettings& settings, bool count_tunnel);
  ~KorvanPair();
  std::uint16_t http_port() const { return http_port_; }
  pid_t server_pid() const { return server_->pid(); }
  pid_t client_pid() const { return client_->pid(); }
  const CountingRelay* tunnel() const { return relay_.get(); }

 private:
  ScratchDir dir_;
  std::uint16_t http_port_ = 0;
  std::unique_ptr<test::ChildProcess> server_;
  std::unique_ptr<CountingRelay> relay_;
  std::unique_ptr<test::ChildProcess> client_;
};


// A baseline proxy in the foreground on a loopback port: Squid without a
// cache, or Ziproxy with its compression on. Throws when it does not start.
class BaselineProxy {
 public:
  enum class Kind { kSquid, kZiproxy };
  BaselineProxy(Kind kind, const std::filesystem::path& program);
  ~BaselineProxy();
  std::uint16_t port() const { return port_; }

 private:
  ScratchDir dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<test::ChildProcess> process_;
};

// Waits until 127.0.0.1:port accepts, at most `seconds`.
bool WaitForPort(std::uint16_t port, int seconds);

}  // namespace korvan::bench
