#pragma once

// Stand-in for the sibling control component's shared enumerations. The transform library and the
// Python module `kivo_control` both take them from this header, so that the two share one type
// identity (nanobind matches types by their mangled names).

#include <cstdint>

namespace kivo {

// How a block reports that it is not ready to run. The numeric order matters: values up to
// `SoftRt` are lenient (`NotReady`), every greater value is strict (`Error`).
enum class KivoControlBlockPolicy : std::uint32_t {
  BestEffort = 0,
  SoftRt = 1,
  HardRt = 2,
  StrictRt = 3,
};

// Result of a block's per-cycle `update`.
enum class KivoControlReturnCode : std::int32_t {
  Ok = 0,
  NotReady = 4,
  Error = 5,
};

}  // namespace kivo
