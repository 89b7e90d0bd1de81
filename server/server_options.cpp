#include "server/server_options.h"

#include <set>

namespace korvan::server {

const char kServerUsage[] =
    "usage: korvan-server --listen HOST:PORT --words FILE --accounts FILE|URL [--smtp-relay HOST:PORT]\n"
    "                     [--allow-private] [--threads N] [--max-connections N]\n"
    "                     [--max-account-connections N] [--max-pending-per-address N]\n"
    "                     [--opening-timeout SECONDS] [--deflate-level 1-12]\n"
    "                     [--admin HOST:PORT] [--drain-timeout SECONDS]\n"
    "                     [--charge-spool FILE] [--lease-time SECONDS] [--proxy-protocol]\n"
    "       korvan-server account add|set|show|list ... (korvan-server account --help)\n";

namespace {

std::optional<unsigned> ParseCount(const std::string& text, unsigned max) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value < 1 || value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

std::optional<unsigned> ParseSeconds(const std::string& text, unsigned max) {
  if (text == "0") return 0u;
  return ParseCount(text, max);
}

std::optional<TargetAddress> ParseListen(const std::string& text) {
  // Only the addresses the server listens on may have port 0: the system then picks one.
  if (text.size() > 2 && text.compare(text.size() - 2, 2, ":0") == 0) {
    auto address = ParseAuthority(text.substr(0, text.size() - 2) + ":1");
    if (address) address->port = 0;
    return address;
  }
  return ParseAuthority(text);
}

}  // namespace

std::variant<ServerConfig, std::string> ParseServerOptions(const std::vector<std::string>& args) {
  ServerConfig config;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (!seen.insert(name).second) return name + " given twice";
    if (name == "--allow-private") {
      config.allow_private = true;
      continue;
    }
    if (name == "--proxy-protocol") {
      config.proxy_protocol = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      return name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument \"" + name + "\"";
    }
    const std::string& value = args[++i];
    if (name == "--listen") {
      const auto listen = ParseListen(value);
      if (!listen) return "--listen needs HOST:PORT, not \"" + value + "\"";
      config.listen = *listen;
    } else if (name == "--words") {
      config.words = value;
    } else if (name == "--accounts") {
      config.accounts = value;
    } else if (name == "--smtp-relay") {
      const auto relay = ParseAuthority(value);
      if (!relay) return "--smtp-relay needs HOST:PORT, not \"" + value + "\"";
      config.smtp_relay = relay;
    } else if (name == "--threads") {
      const auto n = ParseCount(value, 64);
      if (!n) return "--threads needs a number from 1 to 64";
      config.io_threads = *n;
      config.pack_threads = *n;
    } else if (name == "--max-connections") {
      const auto n = ParseCount(value, 100000);
      if (!n) return "--max-connections needs a number from 1 to 100000";
      config.max_connections = *n;
    } else if (name == "--max-account-connections") {
      const auto n = ParseCount(value, 100000);
      if (!n) return "--max-account-connections needs a number from 1 to 100000";
      config.max_account_connections = *n;
    } else if (name == "--max-pending-per-address") {
      const auto n = ParseCount(value, 100000);
      if (!n) return "--max-pending-per-address needs a number from 1 to 100000";
      config.max_pending_per_address = *n;
    } else if (name == "--opening-timeout") {
      const auto n = ParseCount(value, 3600);
      if (!n) return "--opening-timeout needs a number of seconds from 1 to 3600";
      config.opening_timeout = std::chrono::seconds(*n);
    } else if (name == "--deflate-level") {
      const auto n = ParseCount(value, 12);
      if (!n) return "--deflate-level needs a number from 1 to 12";
      config.deflate_level = static_cast<int>(*n);
    } else if (name == "--admin") {
      const auto admin = ParseListen(value);
      if (!admin) return "--admin needs HOST:PORT, not \"" + value + "\"";
      config.admin = *admin;
    } else if (name == "--drain-timeout") {
      const auto n = ParseSeconds(value, 3600);
      if (!n) return "--drain-timeout needs a number of seconds from 0 to 3600";
      config.drain_timeout = std::chrono::seconds(*n);
    } else if (name == "--charge-spool") {
      if (value.empty()) return "--charge-spool needs a file name";
      config.charge_spool = value;
    } else if (name == "--lease-time") {
      const auto n = ParseCount(value, 3600);
      if (!n || *n < 2) return "--lease-time needs a number of seconds from 2 to 3600";
      config.lease_time = std::chrono::seconds(*n);
    } else {
      return "unknown option \"" + name + "\"";
    }
  }
  if (!seen.count("--listen")) return "--listen HOST:PORT is required";
  if (!seen.count("--words")) return "--words FILE is required";
  if (!seen.count("--accounts")) return "--accounts FILE is required";
  return config;
}

}  // namespace korvan::server
