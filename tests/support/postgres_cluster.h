// A real PostgreSQL cluster for tests: initdb in a fresh temporary folder,
// the server on 127.0.0.1 and a free port (its socket in that folder, so
// it meets no other cluster of the machine), and a database `korvan` that
// the role `korvan` owns, without a password (trust on loopback).
//
// As root (CI) the programs run as the `postgres` system user, since
// initdb and the server refuse root. Durability is off: a test's data need
// not survive a crash, and start-up stays well under two seconds.
//
// Thread rule: one thread drives a cluster; the server itself serves any.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvan::test {

class PostgresCluster {
 public:
  // A running cluster, or null with the reason in `why_not` (PostgreSQL is
  // not installed, or the cluster would not start).
  static std::unique_ptr<PostgresCluster> Start(std::string* why_not);
  // Stops the server at once (immediate mode) and removes the folder.
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  // postgresql://korvan@127.0.0.1:PORT/DATABASE
  std::string url(const std::string& database = "korvan") const;
  int port() const { return port_; }

  // A cleanly stopped server, and the same one again on the same port and
  // data: a database restart. Both throw std::runtime_error on failure.
  void Stop();
  void Start();
  bool running() const { return running_; }

  // A new empty database, for a test that wants one of its own; its URL.
  std::string CreateDatabase(const std::string& name);

 private:
  PostgresCluster(std::filesystem::path bin, std::filesystem::path dir);
  // Runs a PostgreSQL program to its end (as `postgres` for a root
  // caller when `as_owner`), its output appended to the log; the exit status.
  int Run(const std::string& program, const std::vector<std::string>& args, bool as_owner);
  std::string Log() const;
  static std::string ReadFile(const std::filesystem::path& file);

  std::filesystem::path bin_;
  std::filesystem::path dir_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace korvan::test
