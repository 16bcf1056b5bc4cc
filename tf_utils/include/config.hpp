#pragma once

// Configuration records of a transform block and the JSON configuration file reader.
//
// Conventions: translations are [x, y, z] in metres; quaternions are [w, x, y, z] (Hamilton) and
// are stored exactly as given, never normalised. An origin of exactly "moving_frame" places an entry
// in the moving frame; every other text (including "fixed_frame" and the empty text) means the fixed
// frame. Origins are not validated here; blocks interpret them when they transform.

#include <array>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include <kivo_control/kivo_control.hpp>

#include "kivo_tf_utils_export.hpp"

namespace kivo {

// A reference point as the caller gives it. An empty origin means "not configured".
struct Translation {
  std::string origin;
  std::array<double, 3> translation{0.0, 0.0, 0.0};
};

// Expression axes as the caller gives them. An empty origin means "not configured".
struct Rotation {
  std::string origin;
  std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};
};

// The public configuration record, filled in code and handed to a block constructor.
struct KivoTfConfig {
  std::string name;
  KivoControlBlockPolicy policy = KivoControlBlockPolicy::BestEffort;
  Translation input_ref_point;
  Rotation input_expr_axes;
  Translation output_ref_point;
  Rotation output_expr_axes;
};

// One internal reference-point entry. `from_json` implies `is_set`; an entry loaded from the
// configuration file is locked against the block's setters.
struct TranslationEntry {
  bool is_set = false;
  bool from_json = false;
  std::string origin;
  std::array<double, 3> translation{0.0, 0.0, 0.0};
};

// One internal expression-axes entry; flags as for `TranslationEntry`.
struct RotationEntry {
  bool is_set = false;
  bool from_json = false;
  std::string origin;
  std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};
};

// The internal configuration record that every block copies at construction.
struct KivoTfConfigInternal {
  std::string name;
  KivoControlBlockPolicy policy = KivoControlBlockPolicy::BestEffort;
  TranslationEntry input_ref_point;
  RotationEntry input_expr_axes;
  TranslationEntry output_ref_point;
  RotationEntry output_expr_axes;
};

// Converts the public record: members with a non-empty origin become set (not locked) entries,
// members with an empty origin stay unset with default values. Name and policy are copied as they
// are; no number is examined.
KIVO_TF_UTILS_EXPORT KivoTfConfigInternal toInternal(const KivoTfConfig& config);

// Reads `section_name` of the JSON file at `path`. An empty path yields the default record without
// touching the file system. Throws std::runtime_error "Could not open config file: <path>" when the
// file cannot be opened, and "Failed to parse config file '<path>': <reason>" for every other
// failure (malformed JSON, top level not an object, missing section, malformed section).
KIVO_TF_UTILS_EXPORT KivoTfConfigInternal loadTfConfigFromFile(const std::string& path,
                                                               const std::string& section_name);

// Turns one parsed section into a record whose given entries are set and locked. A section that
// is not an object yields the default record. Lets the JSON library's exceptions pass unchanged.
KIVO_TF_UTILS_EXPORT KivoTfConfigInternal parseTfConfigSection(const nlohmann::json& section);

}  // namespace kivo
