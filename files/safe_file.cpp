#include "files/safe_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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

// The temporary file sits next to the target, so the final rename stays on one file system.
// It is hidden and named after the target so that a leftover (after a power cut) is
// recognisable. A target name that is legal but too long to take the decoration is shortened;
// one that is too long already stays as it is, so creating the file reports that itself.
std::string temp_template(const std::string& destination) {
  std::size_t slash = destination.rfind('/');
  std::string folder =
      slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
  constexpr std::size_t decoration = 8;  // "." before, ".XXXXXX" after
  if (base.size() <= NAME_MAX && base.size() + decoration > NAME_MAX) {
    base.resize(NAME_MAX - decoration);
  }
  return folder + "." + base + ".XXXXXX";
}

// The new file takes the permissions and owner of the one it replaces, or the usual
// permissions of a new file. Best effort: a file that keeps mkstemp's 0600 is still good.
void set_permissions(int fd, const struct stat* old) {
  if (old == nullptr) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
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

  file.capacity = buffer_size > 0 ? buffer_size : 1;
  file.buffer.reset(new (std::nothrow) unsigned char[file.capacity]);
  if (!file.buffer) {
    file.capacity = 0;
    return fail(file, WriteStep::buffer, ENOMEM);
  }

  // Replace what a symbolic link points to, not the link.
  if (char* resolved = ::realpath(target.c_str(), nullptr)) {
    file.destination = resolved;
    std::free(resolved);
  }

  struct stat old;
  bool exists = ::stat(file.destination.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    // A device or pipe would be destroyed by a rename; a folder fails here with EISDIR.
    file.fd = ::open(file.destination.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0) return fail(file, WriteStep::open, errno);
    return true;
  }

  std::string path = temp_template(file.destination);
  file.fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (file.fd < 0) return fail(file, WriteStep::open, errno);
  file.temp_path = path;
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

bool safe_commit(SafeFile& file) {
  if (file.failure) {
    safe_abandon(file);
    return false;
  }
  if (file.fd < 0) return fail(file, WriteStep::flush, EBADF);
  if (!write_out_buffer(file, WriteStep::flush)) return false;
  bool direct = file.temp_path.empty();
  if (!direct && ::fsync(file.fd) != 0) return fail(file, WriteStep::sync, errno);
  int fd = std::exchange(file.fd, -1);
  // The descriptor is released even when close reports an error, so it is never retried.
  if (::close(fd) != 0) return fail(file, WriteStep::close, errno);
  if (direct) return true;
  if (::rename(file.temp_path.c_str(), file.destination.c_str()) != 0) {
    return fail(file, WriteStep::rename, errno);
  }
  file.temp_path.clear();
  sync_folder(file.destination);
  return true;
}

void safe_abandon(SafeFile& file) {
  if (file.fd >= 0) ::close(std::exchange(file.fd, -1));
  if (!file.temp_path.empty()) {
    ::unlink(file.temp_path.c_str());
    file.temp_path.clear();
  }
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

}  // namespace thumpa
