// The journal MESSAGE_IDs of kelpwood_common_libs. Each identifies one kind of
// entry for ever: journalctl MESSAGE_ID=... finds every entry of that kind on
// a device or in a fleet's collected journal, and the catalog
// (kelpwood.catalog) explains it under journalctl -x. Never change a value;
// add a new id for a new kind of entry.

#ifndef KELPWOOD_JOURNAL_MESSAGE_IDS_H_
#define KELPWOOD_JOURNAL_MESSAGE_IDS_H_

namespace kelpwood {
namespace journal {

// Verdicts: one entry per CheckFlow (or per run that watch checks).
inline constexpr char kVerdictPassed[] = "b2b65f6b3bcc475884200d4acb7ff9bd";
// Passed, with recorded points that the configuration does not name.
inline constexpr char kVerdictPassedUnexpected[] =
    "3a9ccaa2fa224f6db02c6794bee2f14f";
inline constexpr char kVerdictPointFailed[] =
    "3cfe465302a94c938fa2c17dc7308424";
inline constexpr char kVerdictPointInvalid[] =
    "22b9521e4fba4a109388915a2c5fb10f";
inline constexpr char kVerdictPointDuplicated[] =
    "58fc09d10df74ebeae3ef139a0a53f09";
inline constexpr char kVerdictPointMissing[] =
    "d28df31e19644275bbfe21aa6993d059";
inline constexpr char kVerdictOrderError[] = "13ede153699545a191478d9bdfe0cb67";
inline constexpr char kVerdictFlowNotFound[] =
    "30467c3dfe9640f6b29b22fefb80f879";
inline constexpr char kVerdictPointLate[] = "bc67f0bd22584090a0bc428a8fd345c4";

// One point of a device-wide flow, published by the process that traced it.
inline constexpr char kPointPublished[] = "90acc99a81764d64972c4e1c1de309e2";
// A ResetFlow of a device-wide flow: it ends the flow's current run.
inline constexpr char kFlowReset[] = "b15940b75d7440218de12800413e7e56";
// Points of device-wide flows that a process could not publish (journald not
// accepting entries), counted and published once it accepts them again.
inline constexpr char kPointsDropped[] = "448d85c2169444948253ad036fa5c6dc";

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_MESSAGE_IDS_H_
