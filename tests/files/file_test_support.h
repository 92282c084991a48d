// Helpers shared by the file tests: a scratch folder and a file-size limit.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
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

}  // namespace thumpa::test
