// Saving and loading the settings file, with the program's messages.
#include "files/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/message_text.h"
#include "files/safe_file.h"
#include "synth/messages.h"

namespace thumpa {

namespace {

constexpr const char* SAVE_FAILED_TEXT = "Can't save the settings file \"%s\": %s";

// A settings file is about two kilobytes. Anything far larger (a device, the wrong file) is
// refused rather than read into memory without end.
constexpr std::size_t MAX_SETTINGS_BYTES = 16u << 20;

std::string name_and_reason(const std::string& path, const std::string& reason) {
  return fill_in("\"%s\": %s", {path, reason});
}

bool cannot_read(const std::string& path, const std::string& reason) {
  show_message("Cant open file for reading", APP_CAPTION, MessageIcon::error,
               name_and_reason(path, reason));
  return false;
}

// The whole file, or the reason of the first failure. Only a regular file is read: a pipe or
// a device could keep the program waiting for ever, so it is opened without waiting, looked at
// and refused.
std::string read_whole_file(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return error_text(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool folder = S_ISDIR(st.st_mode);
    ::close(fd);
    return folder ? error_text(EISDIR) : refusal_text(Refusal::not_a_regular_file);
  }
  int error = 0;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > MAX_SETTINGS_BYTES) {
      error = EFBIG;
      break;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return error != 0 ? error_text(error) : std::string();
}

}  // namespace

bool save_settings_file(const std::string& path, const BankParams& params) {
  const std::string text = settings_text(params);
  SafeFile file;
  if (safe_open(file, path) && safe_write(file, text.data(), text.size()) && safe_commit(file)) {
    return true;
  }
  const WriteFailure& failure = *file.failure;
  if (failure.step == WriteStep::open) {
    show_message("Cant open file for writing", APP_CAPTION, MessageIcon::error,
                 name_and_reason(path, failure_reason(failure)));
  } else {
    show_message(fill_in(SAVE_FAILED_TEXT, {path, failure_reason(failure)}), APP_CAPTION,
                 MessageIcon::error,
                 std::string("Failed while ") + write_step_text(failure.step) + ".");
  }
  return false;
}

// A file that opens but cannot be read to its end counts as unreadable: loading part of it
// would change parameters from a text that was never fully seen.
bool read_settings_file(const std::string& path, BankParams& params) {
  std::string text;
  if (std::string reason = read_whole_file(path, text); !reason.empty()) {
    return cannot_read(path, reason);
  }
  read_settings_text(text, params);
  return true;
}

}  // namespace thumpa
