#include "files/wav_writer.h"

#include <cerrno>
#include <cstdint>

#include "files/message_text.h"
#include "files/safe_file.h"
#include "synth/messages.h"

namespace thumpa {

namespace {

void put_le16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xff);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
}

void put_tag(unsigned char* p, const char (&tag)[5]) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(tag[i]);
}

// RIFF header with one "fmt " block (PCM, mono, 44100 Hz, 16 bits) and the "data" block's
// header; sizes are known in advance, so nothing needs patching afterwards.
void make_header(unsigned char (&h)[WAV_HEADER_BYTES], std::uint32_t count) {
  const std::uint32_t data_bytes = 2 * count;
  put_tag(h + 0, "RIFF");
  put_le32(h + 4, 36 + data_bytes);
  put_tag(h + 8, "WAVE");
  put_tag(h + 12, "fmt ");
  put_le32(h + 16, 16);
  put_le16(h + 20, 1);  // PCM
  put_le16(h + 22, 1);  // mono
  put_le32(h + 24, 44100);
  put_le32(h + 28, 88200);  // bytes per second
  put_le16(h + 32, 2);      // bytes per sample frame
  put_le16(h + 34, 16);     // bits per sample
  put_tag(h + 36, "data");
  put_le32(h + 40, data_bytes);
}

bool write_samples(SafeFile& file, const Q31* samples, std::uint32_t count) {
  constexpr std::uint32_t CHUNK = 2048;
  unsigned char bytes[2 * CHUNK];
  for (std::uint32_t done = 0; done < count;) {
    std::uint32_t n = count - done < CHUNK ? count - done : CHUNK;
    for (std::uint32_t i = 0; i < n; ++i) {
      put_le16(bytes + 2 * i, static_cast<std::uint16_t>(wav_sample(samples[done + i])));
    }
    if (!safe_write(file, bytes, 2 * n)) return false;
    done += n;
  }
  return true;
}

bool report(const std::string& path, const WriteFailure& failure) {
  bool buffer = failure.step == WriteStep::buffer;
  std::string text = fill_in(buffer ? WAV_BUFFER_FAILED_TEXT : WAV_WRITE_FAILED_TEXT,
                             {path, failure_reason(failure)});
  show_message(std::move(text), "", MessageIcon::warning,
               std::string("Failed while ") + write_step_text(failure.step) + ".");
  return false;
}

}  // namespace

bool write_wav_file(const VoiceBuffer& voice, const std::string& path) {
  return write_wav_file(voice, path, DEFAULT_WRITE_BUFFER);
}

bool write_wav_file(const VoiceBuffer& voice, const std::string& path, std::size_t buffer_size) {
  const std::uint32_t count = voice.samples ? voice.count : 0;
  // The size fields are 32 bits: a voice too long for them cannot be written correctly.
  if (count > (UINT32_MAX - 36) / 2) return report(path, {WriteStep::open, EFBIG});

  unsigned char header[WAV_HEADER_BYTES];
  make_header(header, count);
  SafeFile file;
  if (safe_open(file, path, buffer_size) && safe_write(file, header, sizeof header) &&
      write_samples(file, voice.samples.get(), count) && safe_commit(file)) {
    return true;
  }
  return report(path, *file.failure);
}

}  // namespace thumpa
