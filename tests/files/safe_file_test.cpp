// The safe writer on its own: where it puts the new file and which step it blames.
#include "files/safe_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <functional>
#include <iterator>
#include <utility>

#include "file_test_support.h"

namespace thumpa {

// Changes of the process's umask anywhere in this program (see umask below).
std::atomic<int> umask_changes{0};

namespace {

using test::read_file;
using test::ScratchFolder;

bool write_text(const std::string& path, const std::string& text) {
  SafeFile file;
  return safe_open(file, path) && safe_write(file, text.data(), text.size()) && safe_commit(file);
}

// The mask is read, never set: another thread may be creating a file at that moment.
TEST(SafeFile, NewFileGetsTheUsualPermissions) {
  ScratchFolder dir;
  mode_t mask = ::umask(027);
  EXPECT_EQ(current_umask(), 027u);
  umask_changes = 0;
  const bool written = write_text(dir / "new", "abc");
  EXPECT_EQ(umask_changes, 0);
  ::umask(mask);
  ASSERT_TRUE(written);
  struct stat st;
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(dir / "new"), "abc");
}

TEST(SafeFile, NothingChangesUntilCommit) {
  ScratchFolder dir;
  test::write_file(dir / "f", "old");
  {
    SafeFile file;
    ASSERT_TRUE(safe_open(file, dir / "f", 4));
    ASSERT_TRUE(safe_write(file, "new contents", 12));  // spills past the buffer
    EXPECT_EQ(read_file(dir / "f"), "old");
    // The temporary file has no name where the file system allows that.
    EXPECT_EQ(dir.entries().size(), file.unnamed ? 1u : 2u);
  }  // dropped without commit
  EXPECT_EQ(read_file(dir / "f"), "old");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"f"});
}

// Links of the user's own are written through, in a shared sticky folder too, and so are
// those of the folder's owner.
TEST(SafeFile, ReplacesTheFileALinkPointsTo) {
  const struct {
    const char* what;
    mode_t folder_mode;
    bool link_of_normal_user;
    bool folder_of_normal_user;
  } cases[] = {
      {"own folder", 0700, false, false},
      {"own link in a shared folder", 01777, false, false},
      {"link of the shared folder's owner", 01777, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder dir;
    test::write_file(dir / "real", "old");
    ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
    if (c.link_of_normal_user) test::give_to_normal_user(dir / "link");
    if (c.folder_of_normal_user) test::give_to_normal_user(dir.path.string());
    ASSERT_EQ(::chmod(dir.path.c_str(), c.folder_mode), 0);
    ASSERT_TRUE(write_text(dir / "link", "new"));
    EXPECT_TRUE(test::fs::is_symlink(dir.path / "link"));
    EXPECT_EQ(read_file(dir / "real"), "new");
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"link", "real"}));
  }
}

// Names that must not be written: the writer refuses them at once, without waiting, and they
// stay as they were.
TEST(SafeFile, RefusesWhatItMustNotReplace) {
  const struct {
    const char* what;
    std::function<void(ScratchFolder&, const std::string& victim)> prepare;  // makes "f"
    int error;
    Refusal refusal;
  } cases[] = {
      {"a pipe",
       [](ScratchFolder& d, const std::string&) {
         ASSERT_EQ(::mkfifo((d / "f").c_str(), 0644), 0);
       },
       EINVAL, Refusal::not_a_regular_file},
      {"a link to nothing",
       [](ScratchFolder& d, const std::string&) {
         ASSERT_EQ(::symlink("missing", (d / "f").c_str()), 0);
       },
       ENOENT, Refusal::dangling_link},
      {"a loop of links",
       [](ScratchFolder& d, const std::string&) {
         ASSERT_EQ(::symlink("g", (d / "f").c_str()), 0);
         ASSERT_EQ(::symlink("f", (d / "g").c_str()), 0);
       },
       ELOOP, Refusal::none},
      // Planted where we write, it would make us replace any file of ours it names.
      {"another user's link in a shared folder",
       [](ScratchFolder& d, const std::string& victim) {
         ASSERT_EQ(::chmod(d.path.c_str(), 01777), 0);
         ASSERT_EQ(::symlink(victim.c_str(), (d / "f").c_str()), 0);
         test::give_to_normal_user(d / "f");
       },
       EACCES, Refusal::link_of_another_user},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.refusal == Refusal::link_of_another_user && ::geteuid() != 0)
      GTEST_SKIP() << "only root can make a link that belongs to another user";
    ScratchFolder dir;
    ScratchFolder elsewhere;
    const std::string victim = elsewhere / "precious";
    test::write_file(victim, "precious");
    c.prepare(dir, victim);
    const auto before = dir.entries();
    SafeFile file;
    {
      test::HangGuard guard(10);
      EXPECT_FALSE(safe_open(file, dir / "f"));
    }
    ASSERT_TRUE(file.failure.has_value());
    EXPECT_EQ(file.failure->step, WriteStep::open);
    EXPECT_EQ(file.failure->error, c.error);
    EXPECT_EQ(file.failure->refusal, c.refusal);
    EXPECT_EQ(dir.entries(), before);
    EXPECT_EQ(read_file(victim), "precious");
  }
}

// Makes this process's file systems refuse unnamed files (O_TMPFILE), as some do, so that the
// writer names its temporary file from the start. For a child process: it cannot be undone.
bool refuse_unnamed_files() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // the flags' low word
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Starts `task` in a child process, with unnamed files refused when `named`.
pid_t start_child(bool named, const std::function<int()>& task) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(named && !refuse_unnamed_files() ? 99 : task());
  return child;
}

// The child's exit status; -1 when it did not exit.
int exit_status(pid_t child) {
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A killed writer's leftover goes with the next write of the target, on both of the writer's
// paths; nothing else does: look-alikes, another user's, 0.1.0's marked files, a finished file
// the user renamed to a look-alike name, a writer's still at work.
TEST(SafeFile, KilledWritesLeaveNothingBehind) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary files" : "unnamed temporary files");
    ScratchFolder dir;
    auto take = [&] { return write_text(dir / "f", "take") ? 0 : 1; };
    ASSERT_EQ(exit_status(start_child(named, take)), 0);
    const ssize_t mark = ::getxattr((dir / "f").c_str(), "user.thumpa.temporary", nullptr, 0);
    EXPECT_TRUE(mark < 0 && errno == ENODATA) << "a finished file carries no mark";
    ASSERT_EQ(::rename((dir / "f").c_str(), (dir / ".f.Take01").c_str()), 0);
    const auto killed = [&]() -> int {
      SafeFile file;
      bool opened = safe_open(file, dir / "f") && safe_write(file, "partial", 7);
      ::_exit(opened && file.unnamed != named ? 0 : 1);  // no destructor, no clean-up
    };
    ASSERT_EQ(exit_status(start_child(named, killed)), 0);
    // An unnamed file left nothing beside the take; a named one is our leftover.
    EXPECT_EQ(dir.entries().size(), named ? 2u : 1u);
    std::set<std::string> kept = {"f", ".f.Ab12Cd", ".f.backup", ".g.Ab12Cd", ".f.Ab12Cd.keep"};
    for (const std::string& name : kept) test::write_file(dir / name, "not ours");
    ASSERT_EQ(::setxattr((dir / ".f.Ab12Cd").c_str(), "user.thumpa.temporary", "1", 1, 0), 0);
    kept.insert(".f.Take01");
    if (::geteuid() == 0) {
      test::write_file(dir / ".f.Xy34Zw", "another user's");
      ASSERT_EQ(::setxattr((dir / ".f.Xy34Zw").c_str(), "user.thumpa.temporary", "1", 1, 0), 0);
      test::give_to_normal_user(dir / ".f.Xy34Zw");
      kept.insert(".f.Xy34Zw");
    }

    // A writer at work when another write of the same target starts.
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t busy = start_child(true, [&] {
      SafeFile file;
      char byte = 0;
      const bool opened = safe_open(file, dir / "f") && safe_write(file, "later", 5);
      if (::write(ready[1], "x", 1) != 1 || ::read(go[0], &byte, 1) != 1) return 98;
      return opened && safe_commit(file) ? 0 : 1;
    });
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    // The busy writer's open removed our leftover and left the rest.
    EXPECT_EQ(dir.entries().size(), kept.size() + 1);

    auto whole = [&] { return write_text(dir / "f", "whole") ? 0 : 1; };
    ASSERT_EQ(exit_status(start_child(named, whole)), 0);
    EXPECT_EQ(read_file(dir / "f"), "whole");
    std::set<std::string> after = dir.entries();
    for (const std::string& name : kept) EXPECT_EQ(after.erase(name), 1u) << name;
    EXPECT_EQ(after.size(), 1u) << "the busy writer's temporary file, and only it, stays";

    ASSERT_EQ(::write(go[1], "x", 1), 1);
    EXPECT_EQ(exit_status(busy), 0);
    EXPECT_EQ(read_file(dir / "f"), "later");
    EXPECT_EQ(dir.entries(), kept);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
  }
}

// Small writes stay in the buffer until commit, a large one goes out at once: the step named
// in the failure says which.
TEST(SafeFile, NamesTheStepThatFailed) {
  const struct {
    const char* what;
    std::size_t write_size;
    WriteStep step;
  } cases[] = {{"write at commit", 3000, WriteStep::flush},
               {"write of a full buffer", 70000, WriteStep::write}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder dir;
    std::string data(c.write_size, 'x');
    SafeFile file;
    test::FileSizeLimit limit(1000);
    ASSERT_TRUE(safe_open(file, dir / "f"));
    bool ok = safe_write(file, data.data(), data.size()) && safe_commit(file);
    EXPECT_FALSE(ok);
    ASSERT_TRUE(file.failure.has_value());
    EXPECT_EQ(file.failure->step, c.step);
    EXPECT_EQ(file.failure->error, EFBIG);
    EXPECT_TRUE(dir.entries().empty());
    // A failed file stays failed.
    EXPECT_FALSE(safe_write(file, "y", 1));
    EXPECT_FALSE(safe_commit(file));
  }
}

// What the next rename of this program does first, once (see rename below).
std::function<void()> before_rename;

// A second write of the target runs whole while the first, finished, is about to put its file
// in place: neither removes the other's temporary file, and the one put in place last is there.
TEST(SafeFile, TwoWritersOfOneTargetBothSucceed) {
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named temporary files" : "unnamed temporary files");
    ScratchFolder dir;
    auto both = [&] {
      SafeFile first;
      bool second = false;
      before_rename = [&] { second = write_text(dir / "f", "second"); };
      const bool ok = safe_open(first, dir / "f") && safe_write(first, "first", 5);
      return ok && safe_commit(first) && second ? 0 : 1;
    };
    EXPECT_EQ(exit_status(start_child(named, both)), 0);
    EXPECT_EQ(read_file(dir / "f"), "first");
    EXPECT_EQ(dir.entries(), std::set<std::string>{"f"});
  }
}

TEST(SafeFile, CreatingInAMissingFolderFailsAtOpen) {
  ScratchFolder dir;
  SafeFile file;
  EXPECT_FALSE(safe_open(file, dir / "missing/f"));
  ASSERT_TRUE(file.failure.has_value());
  EXPECT_EQ(file.failure->step, WriteStep::open);
  EXPECT_EQ(file.failure->error, ENOENT);
}

}  // namespace
}  // namespace thumpa

// Counts every change of the umask in this program, then makes it.
extern "C" mode_t umask(mode_t mask) noexcept {
  ++thumpa::umask_changes;
  return static_cast<mode_t>(::syscall(SYS_umask, mask));
}

// Runs the hook set for it, then renames.
extern "C" int rename(const char* from, const char* to) noexcept {
  if (auto hook = std::exchange(thumpa::before_rename, nullptr)) hook();
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}
