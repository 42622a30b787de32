// The field encoding of the state files that the watch keeps (its open runs,
// its metrics): one record per line, fields separated by tabs, and control
// characters and '%' inside a field written as %XX. Library-internal.

#ifndef KELPWOOD_RUNS_STATE_FIELDS_H_
#define KELPWOOD_RUNS_STATE_FIELDS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kelpwood {
namespace runs {

// `text` with control characters, DEL and '%' as %XX (upper-case hex).
std::string EscapeStateField(std::string_view text);

// Decodes EscapeStateField's form into `plain`; false for a '%' that is not
// followed by two upper-case hex digits.
bool UnescapeStateField(std::string_view text, std::string& plain);

// A decimal count of a state field: digits only, within 64 bits.
bool ParseStateUint64(const std::string& text, std::uint64_t& value);

}  // namespace runs
}  // namespace kelpwood

#endif  // KELPWOOD_RUNS_STATE_FIELDS_H_
