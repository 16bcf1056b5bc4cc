#pragma once

#include <initializer_list>
#include <string_view>

namespace kivo::detail {

// Writes the concatenation of `parts` as one line on the standard error stream, followed by a
// newline, and flushes. The line goes out in a single write so that lines of separate blocks do
// not interleave. Allocates; used only off the per-cycle success path.
//
// Never throws: when the line cannot be built or written, or the stream throws (an application
// may have called `std::cerr.exceptions(std::ios_base::badbit)`), the line is dropped and the
// stream is left with the exception mask and state it had before.
void writeDiagnosticLine(std::initializer_list<std::string_view> parts) noexcept;

}  // namespace kivo::detail
