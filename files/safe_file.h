// A buffered writer that replaces a file only once the new contents are safely on disk.
//
// The bytes go to a fresh temporary file in the target's folder; commit flushes, syncs and
// closes it and renames it over the target. If any step fails the temporary file is removed
// and an existing target keeps its old contents, so a full disk or a vanished folder can never
// leave the user with half a file where a good one used to be.
//
// Where the file system allows it the new file has no name at all until commit (O_TMPFILE), so
// a writer killed half way leaves nothing behind; elsewhere it is a hidden file named after the
// target, and such leftovers of earlier writes of the same target are removed by the next one.
// A leftover is known by a mark (an extended attribute) that names that very file, put on it
// in this boot, and by nobody holding it locked; never by its name alone nor by a mark alone:
// a user's own ".kick.wav.Take01", a finished file renamed so (finished files carry no mark),
// a file an older version marked and the file another writer is still writing are left alone.
// A temporary file stays locked until it has the target's name.
//
// Only regular files are replaced. A character device (/dev/null) is written in place, and so
// is standard output under the name "/dev/stdout"; a pipe, socket or block device is refused,
// since opening or writing it could hang. An existing file the user may not write is refused
// with the system's reason, although the folder would allow replacing it. Symbolic links are
// followed one by one, with the kernel's rule for shared sticky folders applied to each.
#pragma once

#include <sys/types.h>

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

// A reason of our own for refusing a name that the system would have let us write.
enum class Refusal {
  none,
  not_a_regular_file,    // a pipe, socket or block device
  link_of_another_user,  // a link in a shared sticky folder, owned by neither us nor the folder's
                         // owner: whoever planted it chose what we would overwrite
  dangling_link,         // a link to nothing: writing would replace the link itself
};

struct WriteFailure {
  WriteStep step = WriteStep::open;
  int error = 0;                    // errno
  Refusal refusal = Refusal::none;  // when set, the reason shown instead of error's text
};

inline constexpr std::size_t DEFAULT_WRITE_BUFFER = 64 * 1024;

struct SafeFile {
  std::string target;       // the name the caller gave
  std::string destination;  // the target with symbolic links resolved: what gets replaced
  std::string temp_path;    // the temporary file while it has a name
  int fd = -1;
  bool in_place = false;  // a device or standard output, written directly
  bool unnamed = false;   // the new file has no name until commit
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
// The text of a refusal of our own, in the manner of the system's texts ("Not a regular file").
const char* refusal_text(Refusal refusal);
// Why a write failed: the refusal's text when there is one, else the system's.
std::string failure_reason(const WriteFailure& failure);

// The process's file-creation mask, read without changing it (changing it and back would give
// a file created meanwhile by another thread the wrong permissions).
mode_t current_umask();

}  // namespace thumpa
