#include <kelpwood/device_state.h>
#include <kelpwood/device_state_c.h>

#include <chrono>
#include <cstdint>
#include <new>

#include "device_state/state_byte.h"

// The handle is the address of a device_state::DeviceState; the C-side
// struct is never defined.
namespace {

device_state::DeviceState* Object(DeviceStateHandle* handle) noexcept {
  return reinterpret_cast<device_state::DeviceState*>(handle);
}

DeviceStateHandle* Handle(device_state::DeviceState* object) noexcept {
  return reinterpret_cast<DeviceStateHandle*>(object);
}

}  // namespace

extern "C" {

DeviceStateHandle* DeviceState_create(void) {
  return DeviceState_create_at(KELPWOOD_DEVICE_STATE_FILE);
}

DeviceStateHandle* DeviceState_create_at(const char* path) {
  if (path == nullptr) return nullptr;
  try {
    return Handle(new device_state::DeviceState(path));
  } catch (...) {
    // The object, if allocated, is freed by the failed new-expression.
    return nullptr;
  }
}

void DeviceState_destroy(DeviceStateHandle* handle) {
  // The destructor releases the lock and closes the descriptor; it throws
  // nothing.
  delete Object(handle);
}

int32_t DeviceState_LockAndReadState(DeviceStateHandle* handle) {
  if (handle == nullptr) return DEVICE_STATE_READ_ERROR;
  try {
    return kelpwood::base::StateToInt(Object(handle)->LockAndReadState());
  } catch (...) {
    return DEVICE_STATE_READ_ERROR;
  }
}

bool DeviceState_TransitState(DeviceStateHandle* handle, int32_t state) {
  if (handle == nullptr) return false;
  try {
    return Object(handle)->TransitState(
        kelpwood::base::StateFromLowBits(state));
  } catch (...) {
    return false;
  }
}

bool DeviceState_WaitForStateChange(DeviceStateHandle* handle, int32_t state) {
  if (handle == nullptr) return false;
  try {
    return Object(handle)->WaitForStateChange(
        kelpwood::base::StateFromLowBits(state));
  } catch (...) {
    return false;
  }
}

bool DeviceState_WaitForStateChangeFor(DeviceStateHandle* handle, int32_t state,
                                       int64_t timeout_ms) {
  if (handle == nullptr) return false;
  try {
    return Object(handle)->WaitForStateChangeFor(
        kelpwood::base::StateFromLowBits(state),
        std::chrono::milliseconds(timeout_ms));
  } catch (...) {
    return false;
  }
}

void DeviceState_ReleaseLock(DeviceStateHandle* handle) {
  if (handle == nullptr) return;
  try {
    Object(handle)->ReleaseLock();
  } catch (...) {
    // Only the object's mutex can fail; the C caller has no way to act on
    // it, and DeviceState_destroy() drops the lock in any case.
  }
}

}  // extern "C"
