// A small shared object in four versions, from which the ABI check must tell
// an addition (compatible) from a grown type or a removed function
// (incompatible). Built once per version with one of the PROBE_* macros.

#include <kelpwood/export.h>

namespace kelpwood {
namespace probe {

struct KELPWOOD_API Record {
  int first = 0;
#ifdef PROBE_GROWN
  int added_member = 0;
#endif
};

KELPWOOD_API int Read(const Record& record) { return record.first; }

#ifndef PROBE_REMOVED
KELPWOOD_API int Kept() { return 1; }
#endif

#ifdef PROBE_ADDED
KELPWOOD_API int Added() { return 2; }
#endif

}  // namespace probe
}  // namespace kelpwood
