// The WAV writer: exact bytes, a standard reader's view of them, and every way writing fails.
#include "files/wav_writer.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "file_test_support.h"
#include "files/safe_file.h"
#include "tests/support/message_recorder.h"

namespace thumpa {
namespace {

using test::read_file;
using test::ScratchFolder;

VoiceBuffer make_voice(const std::vector<Q31>& samples) {
  VoiceBuffer v;
  v.count = static_cast<std::uint32_t>(samples.size());
  v.samples.reset(static_cast<Q31*>(std::malloc(samples.size() * sizeof(Q31) + 1)));
  if (!samples.empty()) std::memcpy(v.samples.get(), samples.data(), samples.size() * sizeof(Q31));
  return v;
}

// A voice that sweeps the whole Q31 range, so that every byte position of the output varies.
VoiceBuffer ramp_voice(std::uint32_t count) {
  std::vector<Q31> samples(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    samples[i] = static_cast<Q31>(static_cast<std::uint32_t>(i) * 2654435761u);
  }
  return make_voice(samples);
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::int16_t le16(const std::string& bytes, std::size_t at) {
  return static_cast<std::int16_t>(static_cast<unsigned char>(bytes[at]) |
                                   static_cast<unsigned char>(bytes[at + 1]) << 8);
}

TEST(WavWriter, GoldenBytes) {
  ScratchFolder dir;
  ASSERT_TRUE(write_wav_file(make_voice({65536 * 2 + 5, -65536, 0x7fffffff}), dir / "g.wav"));
  const unsigned char expected[] = {
      'R', 'I', 'F', 'F', 0x2a, 0,   0, 0,    'W',  'A', 'V', 'E',  'f',  'm',  't',  ' ', 0x10,
      0,   0,   0,   1,   0,    1,   0, 0x44, 0xac, 0,   0,   0x88, 0x58, 0x01, 0,    2,   0,
      16,  0,   'd', 'a', 't',  'a', 6, 0,    0,    0,   2,   0,    0xff, 0xff, 0xff, 0x7f};
  EXPECT_EQ(read_file(dir / "g.wav"), std::string(std::begin(expected), std::end(expected)));
}

TEST(WavWriter, SamplesAreDividedBy65536TowardZero) {
  const struct {
    Q31 in;
    std::int16_t out;
  } cases[] = {{0, 0},       {-1, 0},    {-65535, 0}, {-65536, -1},       {-65537, -1},
               {65535, 0},   {65536, 1}, {131071, 1}, {INT32_MAX, 32767}, {INT32_MIN, -32768},
               {-131073, -2}};
  std::vector<Q31> samples;
  for (const auto& c : cases) samples.push_back(c.in);
  ScratchFolder dir;
  ASSERT_TRUE(write_wav_file(make_voice(samples), dir / "c.wav"));
  std::string bytes = read_file(dir / "c.wav");
  ASSERT_EQ(bytes.size(), 44 + 2 * samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(le16(bytes, 44 + 2 * i), cases[i].out) << "sample " << cases[i].in;
  }
}

TEST(WavWriter, SizesFollowTheSampleCount) {
  // 0 stands for a voice whose render failed: no sample array at all.
  for (std::uint32_t count : {0u, 1u, 84000u}) {
    ScratchFolder dir;
    ASSERT_TRUE(write_wav_file(count ? ramp_voice(count) : VoiceBuffer{}, dir / "s.wav"));
    std::string bytes = read_file(dir / "s.wav");
    EXPECT_EQ(bytes.size(), 44u + 2 * count);
    EXPECT_EQ(le32(bytes, 4), 36 + 2 * count);
    EXPECT_EQ(le32(bytes, 40), 2 * count);
  }
}

// The buffer size changes only how the bytes are written, never which.
TEST(WavWriter, SameBytesWhateverTheBufferSize) {
  ScratchFolder dir;
  VoiceBuffer voice = ramp_voice(5001);
  ASSERT_TRUE(write_wav_file(voice, dir / "ref.wav"));
  std::string reference = read_file(dir / "ref.wav");
  for (std::size_t size : {1u, 2u, 3u, 43u, 45u, 4095u, 4096u, 1u << 20}) {
    ASSERT_TRUE(write_wav_file(voice, dir / "b.wav", size)) << size;
    EXPECT_EQ(read_file(dir / "b.wav"), reference) << "buffer of " << size << " bytes";
  }
}

TEST(WavWriter, StandardReaderSeesTheSamples) {
  ScratchFolder dir;
  VoiceBuffer voice = ramp_voice(84000);
  ASSERT_TRUE(write_wav_file(voice, dir / "r.wav"));
  SF_INFO info{};
  SNDFILE* f = sf_open((dir / "r.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.samplerate, 44100);
  ASSERT_EQ(info.frames, 84000);
  std::vector<short> read(84000);
  EXPECT_EQ(sf_read_short(f, read.data(), 84000), 84000);
  sf_close(f);
  for (std::uint32_t i = 0; i < voice.count; ++i) {
    ASSERT_EQ(read[i], wav_sample(voice.samples[i])) << "sample " << i;
  }
}

TEST(WavWriter, ReplacingAFileKeepsItsPermissions) {
  ScratchFolder dir;
  test::write_file(dir / "p.wav", "old contents");
  ASSERT_EQ(::chmod((dir / "p.wav").c_str(), 0640), 0);
  ASSERT_TRUE(write_wav_file(ramp_voice(10), dir / "p.wav"));
  struct stat st;
  ASSERT_EQ(::stat((dir / "p.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_size, 64);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"p.wav"});
}

// Each way a write can fail: the message names the file and the system's reason, an existing
// file keeps its contents, and no temporary file is left behind.
TEST(WavWriter, FailuresLeaveTheOldFileAndNoTemporaryFile) {
  const std::string old_contents = "an older take, still wanted";
  const struct {
    const char* what;
    std::string name;  // relative to the scratch folder
    std::string reason;
    bool old_file;
  } cases[] = {
      {"parent is a file", "plain/x.wav", error_text(ENOTDIR), false},
      {"name too long", std::string(300, 'n') + ".wav", error_text(ENAMETOOLONG), false},
      {"target is a folder", "folder.wav", error_text(EISDIR), false},
      {"file-size limit", "limited.wav", error_text(EFBIG), true},
      {"target is a pipe", "pipe.wav", "Not a regular file", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder dir;
    test::write_file(dir / "plain", "a regular file");
    test::fs::create_directory(dir / "folder.wav");
    ASSERT_EQ(::mkfifo((dir / "pipe.wav").c_str(), 0644), 0);
    if (c.old_file) test::write_file(dir / c.name, old_contents);
    const auto before = dir.entries();
    MessageRecorder messages;
    {
      test::FileSizeLimit limit(c.old_file ? 10000 : RLIM_INFINITY);
      test::HangGuard guard(10);
      EXPECT_FALSE(write_wav_file(ramp_voice(84000), dir / c.name));
    }
    ASSERT_EQ(messages.shown.size(), 1u);
    const UserMessage& m = messages.shown[0];
    EXPECT_EQ(m.icon, MessageIcon::warning);
    EXPECT_EQ(m.caption, "");
    EXPECT_NE(m.text.find(dir / c.name), std::string::npos) << m.text;
    EXPECT_NE(m.text.find(c.reason), std::string::npos) << m.text;
    EXPECT_EQ(m.text.find("write buffer"), std::string::npos) << m.text;
    EXPECT_EQ(dir.entries(), before);
    if (c.old_file) {
      EXPECT_EQ(read_file(dir / c.name), old_contents);
    }
  }
}

// A device is written in place: renaming a file over it would destroy it.
TEST(WavWriter, FullDeviceReportsNoSpace) {
  if (!test::fs::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
  MessageRecorder messages;
  EXPECT_FALSE(write_wav_file(ramp_voice(100), "/dev/full"));
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_NE(messages.shown[0].text.find("\"/dev/full\""), std::string::npos);
  EXPECT_NE(messages.shown[0].text.find(error_text(ENOSPC)), std::string::npos);
  EXPECT_TRUE(test::fs::is_character_file("/dev/full"));
}

TEST(WavWriter, NoBufferGivesItsOwnMessage) {
  ScratchFolder dir;
  MessageRecorder messages;
  EXPECT_FALSE(write_wav_file(ramp_voice(10), dir / "n.wav", std::size_t{1} << 62));
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "Can't get a write buffer for the WAV file \"" +
                                        (dir / "n.wav") + "\": " + error_text(ENOMEM));
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace thumpa

// The write-buffer test asks for an impossible allocation, which must come back as a null
// pointer under the address sanitizer too, instead of stopping the test.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
