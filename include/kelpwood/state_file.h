/* The file that holds the device state: one byte, shared by every process of
 * the device. Usable from C and C++. */
#ifndef KELPWOOD_STATE_FILE_H_
#define KELPWOOD_STATE_FILE_H_

/* Path of the state file. The device-state code opens it, and the file lock's
 * diagnostics name it, whatever file a descriptor actually refers to. */
#define KELPWOOD_DEVICE_STATE_FILE "/opt/kelpwood/device_state"

#ifdef __cplusplus
namespace device_state {
inline constexpr char kStateFilePath[] = KELPWOOD_DEVICE_STATE_FILE;
}  // namespace device_state
#endif

#endif /* KELPWOOD_STATE_FILE_H_ */
