// Python module `kivo_control`: registers the control component's two enumerations in nanobind's
// shared type registry, as integer enumerations whose member names are the C++ enumerator names.
// Sibling extension modules built with the same nanobind (no domain) convert these types through
// the registry after importing this module; none of them registers the enumerations itself.

#include <nanobind/nanobind.h>

#include <kivo_control/kivo_control.hpp>

namespace nb = nanobind;

NB_MODULE(kivo_control, m) {
  m.doc() = "Enumerations shared by the control blocks.";

  nb::enum_<kivo::KivoControlReturnCode>(m, "KivoControlReturnCode", nb::is_arithmetic(),
                                         "Result of a block's update.")
      .value("Ok", kivo::KivoControlReturnCode::Ok, "The output was written.")
      .value("NotReady", kivo::KivoControlReturnCode::NotReady,
             "Not ready to run under a lenient policy.")
      .value("Error", kivo::KivoControlReturnCode::Error,
             "Not ready under a strict policy, or the block failed.");

  // Values up to SoftRt are lenient (NotReady when not ready), greater values strict (Error).
  nb::enum_<kivo::KivoControlBlockPolicy>(m, "KivoControlBlockPolicy", nb::is_arithmetic(),
                                          "How a block reports that it is not ready to run.")
      .value("BestEffort", kivo::KivoControlBlockPolicy::BestEffort)
      .value("SoftRt", kivo::KivoControlBlockPolicy::SoftRt)
      .value("HardRt", kivo::KivoControlBlockPolicy::HardRt)
      .value("StrictRt", kivo::KivoControlBlockPolicy::StrictRt);
}
