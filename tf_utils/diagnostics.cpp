#include "diagnostics.hpp"

#include <iostream>
#include <string>

namespace kivo::detail {

void writeDiagnosticLine(std::initializer_list<std::string_view> parts) {
  std::string line;
  for (const std::string_view part : parts) {
    line.append(part);
  }
  line.push_back('\n');
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cerr.flush();
}

}  // namespace kivo::detail
