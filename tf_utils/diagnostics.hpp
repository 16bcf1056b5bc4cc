#pragma once

#include <initializer_list>
#include <string_view>

namespace kivo::detail {

// Writes the concatenation of `parts` as one line on the standard error stream, followed by a
// newline, and flushes. The line goes out in a single write so that lines of separate blocks do
// not interleave. Allocates; used only off the per-cycle success path.
void writeDiagnosticLine(std::initializer_list<std::string_view> parts);

}  // namespace kivo::detail
