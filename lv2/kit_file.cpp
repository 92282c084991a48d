#include "lv2/kit_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "files/settings_file.h"

namespace thumpa {

std::string read_kit_file(const char* path, BankParams& params) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), std::fclose);
  if (file == nullptr) return std::strerror(errno);
  std::vector<char> text(MAX_KIT_BYTES + 1);
  const std::size_t read = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get())) return std::strerror(errno);
  if (read > MAX_KIT_BYTES) return "too large for a settings file";
  const std::string_view settings(text.data(), read);
  // Any file can be picked as the kit; one that is no settings file must not reset the voices.
  if (!has_settings_header(settings))
    return "not a settings file (it has no section such as \"Kick:\")";
  read_settings_text(settings, params);
  return {};
}

}  // namespace thumpa
