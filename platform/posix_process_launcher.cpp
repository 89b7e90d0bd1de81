#include "platform/posix_process_launcher.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace korvan {

bool PosixProcessLauncher::Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  words.push_back(program.string());
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const bool bare = !program.has_parent_path();
  const int rc = bare ? ::posix_spawnp(&pid, words[0].c_str(), nullptr, nullptr, argv.data(), environ)
                      : ::posix_spawn(&pid, words[0].c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return false;
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace korvan
