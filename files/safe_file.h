// A buffered writer that replaces a file only once the new contents are safely on disk.
//
// The bytes go to a fresh temporary file in the target's folder; commit flushes, syncs and
// closes it and renames it over the target. If any step fails the temporary file is removed
// and an existing target keeps its old contents, so a full disk or a vanished folder can never
// leave the user with half a file where a good one used to be.
//
// An existing target that is not a regular file (a device, a pipe) cannot be replaced by a
// rename without destroying it, so it is opened and written directly instead.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace thumpa {

// The step at which a write failed.
enum class WriteStep {
  buffer,  // allocating the write buffer
  open,    // creating the temporary file (or opening a non-regular target)
  write,   // writing a full buffer out
  flush,   // writing out what was left in the buffer at commit
  sync,    // forcing the data to disk
  close,   // closing the file
  rename,  // putting the new file in place of the target
};

struct WriteFailure {
  WriteStep step = WriteStep::open;
  int error = 0;  // errno
};

inline constexpr std::size_t DEFAULT_WRITE_BUFFER = 64 * 1024;

struct SafeFile {
  std::string target;       // the name the caller gave
  std::string destination;  // the target with symbolic links resolved: what gets replaced
  std::string temp_path;    // the temporary file while it exists; empty when writing directly
  int fd = -1;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t capacity = 0;
  std::size_t used = 0;
  std::optional<WriteFailure> failure;  // the first failure; later calls do nothing

  SafeFile() = default;
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;
  // An uncommitted file is abandoned: closed, its temporary file removed.
  ~SafeFile();
};

// Allocates the buffer (step buffer) and creates the temporary file (step open).
bool safe_open(SafeFile& file, const std::string& target,
               std::size_t buffer_size = DEFAULT_WRITE_BUFFER);
// Appends bytes; a full buffer is written out (step write).
bool safe_write(SafeFile& file, const void* data, std::size_t size);
// Writes out the rest, syncs, closes and renames over the target. On failure the temporary
// file is gone and the target untouched.
bool safe_commit(SafeFile& file);
// Closes and removes the temporary file without touching the target.
void safe_abandon(SafeFile& file);

// "writing", "renaming over the old file" ...: for the detail line of a message.
const char* write_step_text(WriteStep step);
// The system's text for an errno value, such as "No space left on device".
std::string error_text(int error);

}  // namespace thumpa
