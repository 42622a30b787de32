// Conversions between the state byte stored in the state file, the
// device_state::State enumeration and the 32-bit integers of the C interface.
// Internal: not installed.
#ifndef KELPWOOD_DEVICE_STATE_STATE_BYTE_H_
#define KELPWOOD_DEVICE_STATE_STATE_BYTE_H_

#include <kelpwood/device_state.h>

#include <cstdint>

namespace kelpwood {
namespace base {

// The byte written to the file for state: the value's bit pattern.
constexpr unsigned char StateToByte(device_state::State state) noexcept {
  return static_cast<unsigned char>(static_cast<std::int8_t>(state));
}

// The state that the file byte stands for (bytes 128 to 255 are -128 to -1).
constexpr device_state::State StateFromByte(unsigned char byte) noexcept {
  return static_cast<device_state::State>(static_cast<std::int8_t>(byte));
}

// The state named by the low 8 bits of a C caller's value (261 is 5).
constexpr device_state::State StateFromLowBits(std::int32_t value) noexcept {
  return StateFromByte(static_cast<unsigned char>(value & 0xFF));
}

// A state as the C interface returns it: the 8-bit value widened with its
// sign, -128 to 127.
constexpr std::int32_t StateToInt(device_state::State state) noexcept {
  return static_cast<std::int8_t>(state);
}

}  // namespace base
}  // namespace kelpwood

#endif  // KELPWOOD_DEVICE_STATE_STATE_BYTE_H_
