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
  read_settings_text(std::string_view(text.data(), read), params);
  return {};
}

}  // namespace thumpa
