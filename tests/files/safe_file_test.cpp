// The safe writer on its own: where it puts the new file and which step it blames.
#include "files/safe_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "file_test_support.h"

namespace thumpa {
namespace {

using test::read_file;
using test::ScratchFolder;

TEST(SafeFile, NewFileGetsTheUsualPermissions) {
  ScratchFolder dir;
  mode_t mask = ::umask(022);
  SafeFile file;
  ASSERT_TRUE(safe_open(file, dir / "new"));
  ASSERT_TRUE(safe_write(file, "abc", 3));
  ASSERT_TRUE(safe_commit(file));
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
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
    EXPECT_EQ(dir.entries().size(), 2u);  // the target and the temporary file
  }                                       // dropped without commit
  EXPECT_EQ(read_file(dir / "f"), "old");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"f"});
}

TEST(SafeFile, ReplacesTheFileALinkPointsTo) {
  ScratchFolder dir;
  test::write_file(dir / "real", "old");
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  SafeFile file;
  ASSERT_TRUE(safe_open(file, dir / "link"));
  ASSERT_TRUE(safe_write(file, "new", 3));
  ASSERT_TRUE(safe_commit(file));
  EXPECT_TRUE(test::fs::is_symlink(dir.path / "link"));
  EXPECT_EQ(read_file(dir / "real"), "new");
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"link", "real"}));
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
