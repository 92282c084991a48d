// Helpers shared by the file tests: a scratch folder and a file-size limit.
#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "synth/messages.h"

namespace thumpa::test {

namespace fs = std::filesystem;

// A fresh folder removed with everything in it at the end.
struct ScratchFolder {
  fs::path path;
  ScratchFolder() {
    std::string name = (fs::temp_directory_path() / "thumpa-files-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr)
      throw fs::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
    path = name;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(path)) names.insert(e.path().filename().string());
    return names;
  }
};

// Writes beyond `bytes` fail with EFBIG (SIGXFSZ ignored) until it goes out of scope. Limits
// stop root too, unlike permissions.
struct FileSizeLimit {
  rlimit old{};
  struct sigaction old_action {};
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Permission checks need a user other than root, who passes them all: the user nobody.
inline constexpr uid_t NORMAL_USER = 65534;
inline constexpr int CANNOT_CHANGE_USER = 99;

// Runs `task` as a normal user and returns its result (at most 98): in this process when it
// is not root's, else in a child process that has become nobody, with CANNOT_CHANGE_USER when
// it could not. Nothing the child changes in memory comes back.
inline int as_normal_user(const std::function<int()>& task) {
  if (::geteuid() != 0) return task();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(NORMAL_USER, NORMAL_USER, NORMAL_USER) != 0 ||
        ::setresuid(NORMAL_USER, NORMAL_USER, NORMAL_USER) != 0) {
      ::_exit(CANNOT_CHANGE_USER);
    }
    ::_exit(task());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return CANNOT_CHANGE_USER;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Makes a file or folder the normal user's (when we are root), so as_normal_user may change it.
inline void give_to_normal_user(const std::string& path) {
  if (::geteuid() == 0 && ::lchown(path.c_str(), NORMAL_USER, NORMAL_USER) != 0)
    throw fs::filesystem_error("lchown", std::error_code(errno, std::generic_category()));
}

// Ends the test program if a call that must not wait hangs all the same.
struct HangGuard {
  explicit HangGuard(unsigned seconds) { ::alarm(seconds); }
  ~HangGuard() { ::alarm(0); }
};

}  // namespace thumpa::test
