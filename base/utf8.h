// UTF-8 validation shared by the library's own sources and its tools.
// Internal: not installed, not part of the public API, free to change.
#ifndef KELPWOOD_BASE_UTF8_H_
#define KELPWOOD_BASE_UTF8_H_

#include <cstddef>
#include <string_view>

namespace kelpwood {
namespace base {

// The length of the valid UTF-8 sequence at the start of `text` (1 for an
// ASCII byte), or 0 when it does not start one: overlong forms, surrogates,
// code points above U+10FFFF and cut sequences are invalid. `text` must not
// be empty.
inline std::size_t Utf8SequenceLength(std::string_view text) noexcept {
  const auto byte = [&](std::size_t index) {
    return static_cast<unsigned char>(text[index]);
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // bounds of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t index = 2; index < length; ++index) {
    if (byte(index) < 0x80 || byte(index) > 0xBF) return 0;
  }
  return length;
}

}  // namespace base
}  // namespace kelpwood

#endif  // KELPWOOD_BASE_UTF8_H_
