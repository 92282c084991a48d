#include "files/safe_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

namespace thumpa {

namespace {

bool fail(SafeFile& file, WriteStep step, int error) {
  if (!file.failure) file.failure = WriteFailure{step, error};
  safe_abandon(file);
  return false;
}

// Writes all of data, retrying after signals and short writes.
bool write_all(SafeFile& file, const unsigned char* data, std::size_t size, WriteStep step) {
  while (size > 0) {
    ssize_t n = ::write(file.fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(file, step, errno);
    }
    if (n == 0) return fail(file, step, EIO);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool write_out_buffer(SafeFile& file, WriteStep step) {
  bool ok = write_all(file, file.buffer.get(), file.used, step);
  file.used = 0;
  return ok;
}

// The folder part of a path, with its final slash; empty for a name in the current folder.
std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The temporary file sits next to the target, so the final rename stays on one file system.
// It is hidden and named after the target, ".kick.wav.XXXXXX", so that a leftover is
// recognisable. A target name that is legal but too long to take the decoration is shortened;
// one that is too long already stays as it is, so creating the file reports that itself.
constexpr std::size_t TEMP_SUFFIX = 6;

std::string temp_prefix(const std::string& destination) {
  std::string base = destination.substr(folder_of(destination).size());
  constexpr std::size_t decoration = 2 + TEMP_SUFFIX;  // "." before, "." and suffix after
  if (base.size() <= NAME_MAX && base.size() + decoration > NAME_MAX) {
    base.resize(NAME_MAX - decoration);
  }
  return "." + base + ".";
}

bool temp_suffix_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A name this writer gives (or gave, in an earlier run) its temporary files for the target.
// A suffix of lower-case letters only is left alone: ".kick.wav.backup" is more likely the
// user's own file than a random suffix that happens to look like a word.
bool is_temp_name(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + TEMP_SUFFIX || name.compare(0, prefix.size(), prefix) != 0)
    return false;
  bool word = true;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (!temp_suffix_char(name[i])) return false;
    if (name[i] < 'a' || name[i] > 'z') word = false;
  }
  return !word;
}

// A name alone does not make a file ours: ".kick.wav.Take01" may be the user's own take, and
// another program may write temporary files of that shape. Nor does a mark alone: 0.1.0 marked
// its files with "1" and never took the mark off, so finished files carry it under any name the
// user gives them. A named temporary file of ours is locked (flock) for as long as its writer
// holds it, up to and including the rename, and carries this extended attribute, whose value
// names that one file: the boot it was written in, its device and inode, its folder's, and its
// name. A copy has another inode, a renamed or moved file another name or folder, an old file
// another value; and within one boot a lock that nobody holds means its writer is gone. So a
// leftover is a file whose mark names exactly it, in this boot, that nobody holds locked. The
// mark comes off before the rename, so a finished file carries none. Where the file system
// keeps no extended attributes, or /proc cannot tell the boot, nothing is removed.
constexpr const char* TEMP_MARK = "user.thumpa.temporary";

// This boot's random identity; empty when /proc cannot tell it.
const std::string& boot_id() {
  static const std::string id = [] {
    std::string line;
    std::getline(std::ifstream("/proc/sys/kernel/random/boot_id"), line);
    return line;
  }();
  return id;
}

// The mark of the temporary file `file` named `name` in the folder `folder`; empty when the
// boot is unknown, so that nothing gets marked.
std::string temp_mark(const struct stat& file, const struct stat& folder, const std::string& name) {
  if (boot_id().empty()) return {};
  auto id = [](const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  };
  return "thumpa-2 " + boot_id() + " " + id(file) + " " + id(folder) + " " + name;
}

// Locks a fresh temporary file, and marks it when it has a name. A file that cannot be locked
// is not marked, so no clean-up ever takes it for a leftover.
void lock_and_mark(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || path.empty()) return;
  const std::string folder = folder_of(path);
  struct stat file, parent;
  if (::fstat(fd, &file) != 0 || ::stat(folder.empty() ? "." : folder.c_str(), &parent) != 0)
    return;
  const std::string mark = temp_mark(file, parent, path.substr(folder.size()));
  if (!mark.empty()) ::fsetxattr(fd, TEMP_MARK, mark.data(), mark.size(), 0);
}

// Removes the temporary files that earlier writes of this target left when they were killed:
// only ours (owned by us, regular files, named by the pattern above, marked as that very file
// in this boot, and not held by a live writer).
void remove_stale_temporaries(const std::string& destination) {
  const std::string folder = folder_of(destination);
  const std::string prefix = temp_prefix(destination);
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;  // creating the file will report what is wrong
  const int dir_fd = ::dirfd(dir);
  struct stat parent;
  if (::fstat(dir_fd, &parent) != 0) {
    ::closedir(dir);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!is_temp_name(name, prefix)) continue;
    // Opened without following links or waiting on a pipe, then checked through the descriptor.
    const int fd =
        ::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    char mark[512];
    ssize_t size = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
      size = ::fgetxattr(fd, TEMP_MARK, mark, sizeof mark);
    const std::string expected = size > 0 ? temp_mark(st, parent, name) : std::string();
    if (!expected.empty() && expected == std::string_view(mark, static_cast<std::size_t>(size)) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Held locked while it goes, so a writer of the same name cannot be half way in.
      struct stat named;
      if (::fstatat(dir_fd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          named.st_ino == st.st_ino && named.st_dev == st.st_dev) {
        ::unlinkat(dir_fd, entry->d_name, 0);
      }
    }
    ::close(fd);
  }
  ::closedir(dir);
}

// A fresh random suffix for naming an unnamed file at commit; a clash is retried.
std::string random_suffix() {
  thread_local unsigned long long state = 0;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  state ^= static_cast<unsigned long long>(now.tv_nsec) ^
           (static_cast<unsigned long long>(::getpid()) << 32);
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (std::size_t i = 0; i < TEMP_SUFFIX; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    suffix += alphabet[(state >> 33) % (sizeof alphabet - 1)];
  }
  suffix[0] = alphabet[(state >> 40) % 26];  // upper case first: never taken for a word
  return suffix;
}

// The kernel's rule for following a link (fs.protected_symlinks), applied whatever that
// setting is: in a sticky world-writable folder such as /tmp only links owned by us or by the
// folder's owner are followed.
bool may_follow(const std::string& link, const struct stat& link_stat) {
  const std::string folder = folder_of(link);
  struct stat parent;
  if (::stat(folder.empty() ? "." : folder.c_str(), &parent) != 0) return false;
  const bool shared = (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0;
  return !shared || link_stat.st_uid == ::geteuid() || link_stat.st_uid == parent.st_uid;
}

// Follows the target's symbolic links one at a time, as the kernel would (at most 40), to the
// name that gets replaced, which is left in file.destination; `exists` tells whether that
// name exists, and `found` is then what lstat says of it. A failure is recorded in
// file.failure and false comes back.
constexpr int MAX_LINKS = 40;

bool resolve_destination(SafeFile& file, struct stat& found, bool& exists) {
  std::string path = file.target;
  for (int links = 0;; ++links) {
    if (::lstat(path.c_str(), &found) != 0) {
      const int error = errno;
      if (error == ENOENT && links > 0) {
        file.failure = WriteFailure{WriteStep::open, ENOENT, Refusal::dangling_link};
        return false;
      }
      if (error != ENOENT) {
        file.failure = WriteFailure{WriteStep::open, error};
        return false;
      }
      exists = false;
      break;
    }
    if (!S_ISLNK(found.st_mode)) {
      exists = true;
      break;
    }
    if (links == MAX_LINKS) {
      file.failure = WriteFailure{WriteStep::open, ELOOP};
      return false;
    }
    if (!may_follow(path, found)) {
      file.failure = WriteFailure{WriteStep::open, EACCES, Refusal::link_of_another_user};
      return false;
    }
    char text[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof text);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) {
      file.failure = WriteFailure{WriteStep::open, n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG};
      return false;
    }
    const std::string points_to(text, static_cast<std::size_t>(n));
    path = points_to.front() == '/' ? points_to : folder_of(path) + points_to;
  }
  file.destination = path;
  return true;
}

// The new file takes the permissions and owner of the one it replaces, or the usual
// permissions of a new file. Best effort: a file that keeps mkstemp's 0600 is still good.
void set_permissions(int fd, const struct stat* old) {
  if (old == nullptr) {
    ::fchmod(fd, 0666 & ~current_umask());
    return;
  }
  ::fchmod(fd, old->st_mode & 07777);
  struct stat now;
  if (::fstat(fd, &now) == 0 && (now.st_uid != old->st_uid || now.st_gid != old->st_gid)) {
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Only the owner can give a file away; the contents are what matters.
    }
  }
}

// The path under which the kernel lets a descriptor be linked into a folder.
std::string descriptor_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// An unnamed file in the folder, with the usual permissions of a new file (the kernel applies
// the umask), or -1 where the file system or /proc cannot provide or later name it.
int open_unnamed(const std::string& destination) {
#ifdef O_TMPFILE
  if (::access("/proc/self/fd", X_OK) != 0) return -1;
  const std::string folder = folder_of(destination);
  return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
  (void)destination;
  return -1;
#endif
}

// Opens an existing regular file or character device for writing without waiting on it and
// without truncating it: the kernel's own check that the user may write it. Refuses anything
// else; `kind` tells which of the two it is.
bool open_existing(SafeFile& file, const struct stat& seen, struct stat& kind, int& fd) {
  if (S_ISDIR(seen.st_mode)) {
    file.failure = WriteFailure{WriteStep::open, EISDIR};
    return false;
  }
  if (!S_ISREG(seen.st_mode) && !S_ISCHR(seen.st_mode)) {
    file.failure = WriteFailure{WriteStep::open, EINVAL, Refusal::not_a_regular_file};
    return false;
  }
  fd = ::open(file.destination.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    file.failure = WriteFailure{WriteStep::open, errno};
    return false;
  }
  // What was opened may have been swapped in since it was looked at.
  if (::fstat(fd, &kind) != 0 || (kind.st_mode & S_IFMT) != (seen.st_mode & S_IFMT)) {
    ::close(std::exchange(fd, -1));
    file.failure = WriteFailure{WriteStep::open, EINVAL, Refusal::not_a_regular_file};
    return false;
  }
  return true;
}

// Makes the rename itself durable. Failure here does not undo a write that has succeeded.
void sync_folder(const std::string& destination) {
  std::size_t slash = destination.rfind('/');
  std::string folder = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // some file systems cannot sync a folder; the data is on disk already
  ::close(fd);
}

}  // namespace

SafeFile::~SafeFile() {
  safe_abandon(*this);
}

bool safe_open(SafeFile& file, const std::string& target, std::size_t buffer_size) {
  safe_abandon(file);
  file.target = target;
  file.destination = target;
  file.failure.reset();
  file.used = 0;
  file.in_place = false;
  file.unnamed = false;

  file.capacity = buffer_size > 0 ? buffer_size : 1;
  file.buffer.reset(new (std::nothrow) unsigned char[file.capacity]);
  if (!file.buffer) {
    file.capacity = 0;
    return fail(file, WriteStep::buffer, ENOMEM);
  }

  // The command line's way of asking for the data on standard output, whatever that is.
  if (target == "/dev/stdout") {
    file.fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (file.fd < 0) return fail(file, WriteStep::open, errno);
    file.in_place = true;
    return true;
  }

  struct stat seen;
  bool exists = false;
  if (!resolve_destination(file, seen, exists)) return fail(file, WriteStep::open, 0);

  struct stat old;
  if (exists) {
    int fd = -1;
    if (!open_existing(file, seen, old, fd)) return fail(file, WriteStep::open, 0);
    if (S_ISCHR(old.st_mode)) {
      // A device would be destroyed by a rename: it is written in place, and waited on.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      file.fd = fd;
      file.in_place = true;
      return true;
    }
    ::close(fd);
  }

  remove_stale_temporaries(file.destination);
  file.fd = open_unnamed(file.destination);
  if (file.fd >= 0) {
    file.unnamed = true;
    // Its name at commit lasts only until the rename, all the while locked: it is not marked,
    // so it is never taken for a leftover, and a writer killed in that moment leaves it behind.
    lock_and_mark(file.fd, "");
    if (exists) set_permissions(file.fd, &old);
    return true;
  }
  std::string path = folder_of(file.destination) + temp_prefix(file.destination) + "XXXXXX";
  file.fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (file.fd < 0) return fail(file, WriteStep::open, errno);
  file.temp_path = path;
  lock_and_mark(file.fd, path);
  set_permissions(file.fd, exists ? &old : nullptr);
  return true;
}

bool safe_write(SafeFile& file, const void* data, std::size_t size) {
  if (file.failure) return false;
  if (file.fd < 0) return fail(file, WriteStep::write, EBADF);
  if (size == 0) return true;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (size <= file.capacity - file.used) {
    std::memcpy(file.buffer.get() + file.used, bytes, size);
    file.used += size;
    return true;
  }
  if (!write_out_buffer(file, WriteStep::write)) return false;
  if (size >= file.capacity) return write_all(file, bytes, size, WriteStep::write);
  std::memcpy(file.buffer.get(), bytes, size);
  file.used = size;
  return true;
}

// Gives the unnamed file a temporary name next to the target; rename then puts it in place.
bool name_unnamed(SafeFile& file) {
  const std::string source = descriptor_path(file.fd);
  const std::string stem = folder_of(file.destination) + temp_prefix(file.destination);
  for (int attempt = 0;; ++attempt) {
    std::string path = stem + random_suffix();
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      file.temp_path = path;
      return true;
    }
    if (errno != EEXIST || attempt == 100) return fail(file, WriteStep::rename, errno);
  }
}

bool safe_commit(SafeFile& file) {
  if (file.failure) {
    safe_abandon(file);
    return false;
  }
  if (file.fd < 0) return fail(file, WriteStep::flush, EBADF);
  if (!write_out_buffer(file, WriteStep::flush)) return false;
  if (file.in_place) {
    // The descriptor is released even when close reports an error, so it is never retried.
    if (::close(std::exchange(file.fd, -1)) != 0) return fail(file, WriteStep::close, errno);
    return true;
  }
  if (::fsync(file.fd) != 0) return fail(file, WriteStep::sync, errno);
  if (file.unnamed && !name_unnamed(file)) return false;
  // The lock lasts while any copy of the descriptor is open: a copy holds it until the file has
  // its final name, while closing the written one still reports a late write error before the
  // target is touched.
  const int held = ::fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
  if (held < 0) return fail(file, WriteStep::close, errno);
  if (::close(std::exchange(file.fd, held)) != 0) return fail(file, WriteStep::close, errno);
  // Best effort: a mark left on (a file system that refuses to remove it) names the temporary
  // name, which the file loses now, so it can never make the file look like a leftover.
  ::fremovexattr(file.fd, TEMP_MARK);
  if (::rename(file.temp_path.c_str(), file.destination.c_str()) != 0) {
    return fail(file, WriteStep::rename, errno);
  }
  file.temp_path.clear();
  ::close(std::exchange(file.fd, -1));
  sync_folder(file.destination);
  return true;
}

void safe_abandon(SafeFile& file) {
  // Unlinked before it is closed: once its lock is gone a clean-up may remove it, and the name
  // may then be another writer's.
  if (!file.temp_path.empty()) {
    ::unlink(file.temp_path.c_str());
    file.temp_path.clear();
  }
  if (file.fd >= 0) ::close(std::exchange(file.fd, -1));
  file.used = 0;
}

const char* write_step_text(WriteStep step) {
  switch (step) {
    case WriteStep::buffer:
      return "allocating the write buffer";
    case WriteStep::open:
      return "creating the file";
    case WriteStep::write:
      return "writing";
    case WriteStep::flush:
      return "writing the last part";
    case WriteStep::sync:
      return "saving to disk";
    case WriteStep::close:
      return "closing the file";
    case WriteStep::rename:
      return "putting the new file in place of the old one";
  }
  return "writing";
}

std::string error_text(int error) {
  return std::generic_category().message(error);
}

const char* refusal_text(Refusal refusal) {
  switch (refusal) {
    case Refusal::none:
      break;
    case Refusal::not_a_regular_file:
      return "Not a regular file";
    case Refusal::link_of_another_user:
      return "Symbolic link of another user in a shared folder";
    case Refusal::dangling_link:
      return "Symbolic link to a file that does not exist";
  }
  return "";
}

std::string failure_reason(const WriteFailure& failure) {
  if (failure.refusal != Refusal::none) return refusal_text(failure.refusal);
  return error_text(failure.error);
}

mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
  }
  return 022;  // no /proc: the usual mask
}

}  // namespace thumpa
