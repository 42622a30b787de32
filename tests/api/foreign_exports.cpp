// A shared object that exports what libkelpwood_common_libs must not: code
// in other libraries' namespaces and the logger's inline code. The symbol
// check must name exactly these and fail.

namespace YAML {
__attribute__((visibility("default"))) int Leaked(int value) {
  return value + 1;
}
}  // namespace YAML

namespace fmt {
__attribute__((visibility("default"))) int leaked_counter = 0;
}  // namespace fmt

namespace kelpwood {
struct __attribute__((visibility("default"))) Logger {
  static int Log(int level);
};
int Logger::Log(int level) { return level; }

namespace trace {
__attribute__((visibility("default"))) int Allowed() { return 0; }
}  // namespace trace
}  // namespace kelpwood

extern "C" __attribute__((visibility("default"))) int DeviceState_allowed(
    void) {
  return 0;
}
