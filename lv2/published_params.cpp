#include "lv2/published_params.h"

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

}  // namespace thumpa
