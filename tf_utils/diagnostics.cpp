#include "diagnostics.hpp"

#include <ios>
#include <iostream>
#include <string>

namespace kivo::detail {
namespace {

// Puts back the exception mask and state `stream` had before a failed write. Setting the mask
// last re-raises nothing the application would not have seen before: `exceptions(mask)` stores
// the mask and state first and throws only when the old state already held a masked bit.
void restoreStreamState(std::ostream& stream, std::ios_base::iostate state,
                        std::ios_base::iostate mask) noexcept {
  try {
    stream.exceptions(std::ios_base::goodbit);
    stream.clear(state);
    stream.exceptions(mask);
  } catch (...) {
  }
}

}  // namespace

void writeDiagnosticLine(std::initializer_list<std::string_view> parts) noexcept {
  std::ostream& stream = std::cerr;
  const std::ios_base::iostate mask = stream.exceptions();
  const std::ios_base::iostate state = stream.rdstate();
  try {
    std::string line;
    for (const std::string_view part : parts) {
      line.append(part);
    }
    line.push_back('\n');
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
  } catch (...) {
    // A diagnostic must not turn a return code into an exception: the line is dropped.
  }
  // Nor may a dropped line leave the application's stream failed for its own later output.
  if (stream.rdstate() != state || stream.exceptions() != mask) {
    restoreStreamState(stream, state, mask);
  }
}

}  // namespace kivo::detail
