#include "config.hpp"

#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "diagnostics.hpp"

namespace kivo {
namespace {

using nlohmann::json;

// An entry set from code, or the default (unset) entry when the caller gave no origin.
template <class Entry, class Values>
Entry configuredEntry(const std::string& origin, const Values& values) {
  if (origin.empty()) {
    return Entry{};
  }
  return Entry{true, false, origin, values};
}

KivoControlBlockPolicy policyFromText(const std::string& text) {
  if (text == "best_effort") return KivoControlBlockPolicy::BestEffort;
  if (text == "soft_rt") return KivoControlBlockPolicy::SoftRt;
  if (text == "hard_rt") return KivoControlBlockPolicy::HardRt;
  if (text == "strict_rt") return KivoControlBlockPolicy::StrictRt;
  detail::writeDiagnosticLine({"Warning: unknown policy \"", text,
                               "\" in JSON config; defaulting to best_effort."});
  return KivoControlBlockPolicy::BestEffort;
}

// Element `index` of a JSON array of numbers. A value that is not an array raises the library's
// indexing error (type_error 305); a missing element raises its out-of-range error (401) instead
// of reading past the end; an element that is not a number raises type_error 302.
double numberAt(const json& values, std::size_t index) {
  if (!values.is_array()) {
    return values[index].get<double>();
  }
  return values.at(index).get<double>();
}

template <std::size_t N>
std::array<double, N> numbersOf(const json& values) {
  std::array<double, N> numbers{};
  for (std::size_t i = 0; i < N; ++i) {
    numbers[i] = numberAt(values, i);
  }
  return numbers;
}

// Reads the entry object `key` of `section` when present: "origin" (a string) and the N numbers
// of `vector_key`. Entries read from the file are set and locked.
template <class Entry, std::size_t N>
void readEntry(const json& section, const char* key, const char* vector_key, Entry& entry) {
  if (!section.contains(key)) {
    return;
  }
  const json& object = section.at(key);
  std::string origin = object.at("origin").get<std::string>();
  const std::array<double, N> values = numbersOf<N>(object.at(vector_key));
  entry = Entry{true, true, std::move(origin), values};
}

}  // namespace

KivoTfConfigInternal toInternal(const KivoTfConfig& config) {
  KivoTfConfigInternal internal;
  internal.name = config.name;
  internal.policy = config.policy;
  internal.input_ref_point = configuredEntry<TranslationEntry>(
      config.input_ref_point.origin, config.input_ref_point.translation);
  internal.input_expr_axes = configuredEntry<RotationEntry>(config.input_expr_axes.origin,
                                                            config.input_expr_axes.rotation);
  internal.output_ref_point = configuredEntry<TranslationEntry>(
      config.output_ref_point.origin, config.output_ref_point.translation);
  internal.output_expr_axes = configuredEntry<RotationEntry>(config.output_expr_axes.origin,
                                                             config.output_expr_axes.rotation);
  return internal;
}

KivoTfConfigInternal parseTfConfigSection(const json& section) {
  KivoTfConfigInternal config;
  if (!section.is_object()) {
    return config;
  }
  if (section.contains("name")) {
    config.name = section.at("name").get<std::string>();
  }
  if (section.contains("policy")) {
    config.policy = policyFromText(section.at("policy").get<std::string>());
  }
  readEntry<TranslationEntry, 3>(section, "set_input_reference_point", "translation",
                                 config.input_ref_point);
  readEntry<RotationEntry, 4>(section, "set_input_expression_axes", "rotation",
                              config.input_expr_axes);
  readEntry<TranslationEntry, 3>(section, "set_output_reference_point", "translation",
                                 config.output_ref_point);
  readEntry<RotationEntry, 4>(section, "set_output_expression_axes", "rotation",
                              config.output_expr_axes);
  return config;
}

KivoTfConfigInternal loadTfConfigFromFile(const std::string& path, const std::string& section_name) {
  if (path.empty()) {
    return KivoTfConfigInternal{};
  }
  // A path with an embedded NUL would be opened by its truncated name, a different file than the
  // one named: such a path cannot be opened.
  std::ifstream file;
  if (path.find('\0') == std::string::npos) {
    file.open(path);
  }
  if (!file.is_open()) {
    throw std::runtime_error("Could not open config file: " + path);
  }
  try {
    // Stream extraction reads the first JSON value only; comments are not allowed.
    json document;
    file >> document;
    return parseTfConfigSection(document.at(section_name));
  } catch (const std::exception& e) {
    throw std::runtime_error("Failed to parse config file '" + path + "': " + e.what());
  }
}

}  // namespace kivo
