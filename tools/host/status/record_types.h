#pragma once

// The record types under which the units publish their snapshots and the history stores them:
// one name for each number, used wherever a record type is written or compared.

namespace k426b_host {

inline constexpr int kAcRecordType = 5094;
inline constexpr int kRectifierRecordType = 5095;
inline constexpr int kDcRecordType = 5096;

}  // namespace k426b_host
