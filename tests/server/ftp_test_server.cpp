#include "tests/server/ftp_test_server.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/test_paths.h"

namespace korvan::server::test {

namespace fs = std::filesystem;

namespace {

constexpr const char kScript[] = R"PY(
import argparse
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--root", required=True)
parser.add_argument("--port-file", required=True)
parser.add_argument("--user", required=True)
parser.add_argument("--password", required=True)
parser.add_argument("--no-mlsd", action="store_true")
args = parser.parse_args()

authorizer = DummyAuthorizer()
authorizer.add_user(args.user, args.password, args.root, perm="elr")
authorizer.add_anonymous(args.root)


class Handler(FTPHandler):
    auth_failed_timeout = 0


Handler.authorizer = authorizer
if args.no_mlsd:
    Handler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}

server = FTPServer(("127.0.0.1", 0), Handler)
port = server.socket.getsockname()[1]
with open(args.port_file + ".part", "w") as f:
    f.write(str(port))
os.rename(args.port_file + ".part", args.port_file)
server.serve_forever()
)PY";

bool Imports(const fs::path& python) {
  const std::string command = "'" + python.string() + "' -c 'import pyftpdlib' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

std::optional<fs::path> PythonWithPyftpdlib() {
  // The distribution's package lives with the system's interpreter, which a
  // python3 earlier on $PATH (a virtual environment, pyenv) may not see.
  std::optional<fs::path> candidates[] = {korvan::test::FindProgram("python3"), fs::path("/usr/bin/python3")};
  for (const auto& candidate : candidates) {
    if (candidate && fs::exists(*candidate) && Imports(*candidate)) return candidate;
  }
  return std::nullopt;
}

FtpTestServer::FtpTestServer(const fs::path& python, const fs::path& root, const fs::path& work, Options options) {
  fs::create_directories(work);
  const fs::path script = work / "ftp_server.py";
  std::ofstream(script) << kScript;
  const fs::path port_file = work / "ftp.port";
  fs::remove(port_file);
  std::vector<std::string> args{script.string(), "--root",     root.string(),   "--port-file", port_file.string(),
                                "--user",        kFtpUser,     "--password",    kFtpPassword};
  if (!options.mlsd) args.emplace_back("--no-mlsd");
  process_ = std::make_unique<korvan::test::ChildProcess>(python, args, work / "ftp_server.txt");
  for (int i = 0; i < 500 && port_ == 0; ++i) {
    std::ifstream in(port_file);
    int port = 0;
    if (in >> port) {
      port_ = static_cast<std::uint16_t>(port);
      break;
    }
    if (process_->Wait(std::chrono::milliseconds(20)) != -1) break;  // it ended: the output says why
  }
}

FtpTestServer::~FtpTestServer() {
  if (process_) process_->Stop(SIGTERM);
}

std::string FtpTestServer::Output() const { return process_ ? process_->Output() : std::string(); }

std::string FtpTestServer::url(const std::string& path, bool with_login) const {
  const std::string login = with_login ? std::string(kFtpUser) + ":" + kFtpPassword + "@" : "";
  return "ftp://" + login + "127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace korvan::server::test
