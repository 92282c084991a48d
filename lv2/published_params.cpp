#include "lv2/published_params.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace thumpa {

// The parameters are a run of 32-bit fields, so they can be published field by field.
static_assert(sizeof(PluginParams) == PARAM_WORDS * sizeof(std::int32_t));
static_assert(std::is_trivially_copyable_v<PluginParams>);

void publish(PublishedParams& published, const PluginParams& params) {
  std::int32_t words[PARAM_WORDS];
  std::memcpy(words, &params, sizeof params);
  published.sequence.fetch_add(1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (std::size_t i = 0; i < PARAM_WORDS; ++i) {
    published.words[i].store(words[i], std::memory_order_relaxed);
  }
  published.sequence.fetch_add(1, std::memory_order_release);
}

PluginParams read_published(const PublishedParams& published) {
  std::int32_t words[PARAM_WORDS];
  for (;;) {
    const std::uint32_t before = published.sequence.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < PARAM_WORDS; ++i) {
      words[i] = published.words[i].load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (before % 2 == 0 && published.sequence.load(std::memory_order_relaxed) == before) break;
  }
  PluginParams params;
  std::memcpy(&params, words, sizeof params);
  return params;
}

void publish_path(PublishedPath& published, std::string_view path) {
  const std::size_t length = std::min(path.size(), MAX_KIT_PATH - 1);
  published.sequence.fetch_add(1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (std::size_t at = 0; at <= length; at += 8) {  // up to the word that holds the NUL
    std::uint64_t word = 0;
    if (at < length) std::memcpy(&word, path.data() + at, std::min<std::size_t>(8, length - at));
    published.words[at / 8].store(word, std::memory_order_relaxed);
  }
  published.sequence.fetch_add(1, std::memory_order_release);
}

std::string read_published_path(const PublishedPath& published) {
  char text[MAX_KIT_PATH];
  for (;;) {
    const std::uint32_t before = published.sequence.load(std::memory_order_acquire);
    for (std::size_t at = 0; at < MAX_KIT_PATH; at += 8) {
      const std::uint64_t word = published.words[at / 8].load(std::memory_order_relaxed);
      std::memcpy(text + at, &word, 8);
      if (std::memchr(text + at, 0, 8) != nullptr) break;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (before % 2 == 0 && published.sequence.load(std::memory_order_relaxed) == before) break;
  }
  return std::string(text, strnlen(text, MAX_KIT_PATH));
}

}  // namespace thumpa
