// Fuzz target for the settings scanner: any bytes at all must load without a fault, and
// whatever they load must save and load back unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "files/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  thumpa::BankParams params;
  thumpa::read_settings_text(text, params);
  thumpa::BankParams again;
  thumpa::read_settings_text(thumpa::settings_text(params), again);
  if (!(again == params)) __builtin_trap();
  return 0;
}
