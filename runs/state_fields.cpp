#include "runs/state_fields.h"

#include <cerrno>
#include <cstdlib>

namespace kelpwood {
namespace runs {

std::string EscapeStateField(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const unsigned char c : text) {
    if (c < 0x20 || c == '%' || c == 0x7f) {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0xf];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

bool UnescapeStateField(std::string_view text, std::string& plain) {
  plain.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      plain += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    unsigned value = 0;
    for (std::size_t k = 1; k <= 2; ++k) {
      const char c = text[i + k];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<unsigned>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    plain += static_cast<char>(value);
    i += 2;
  }
  return true;
}

bool ParseStateUint64(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

}  // namespace runs
}  // namespace kelpwood
