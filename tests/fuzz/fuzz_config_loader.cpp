// Fuzz target for the JSON configuration reader. Each input is used twice:
//   - as the bytes of a configuration file, loaded for each of the four block sections with
//     loadTfConfigFromFile (and, when that succeeds, by the constructor of the block that reads
//     the section, which then runs one cycle);
//   - as JSON text: its first value, and that value's member for each section, each go through
//     parseTfConfigSection.
// Allowed outcomes are success and the documented failures: from the loader a std::runtime_error
// "Failed to parse config file '<path>': " followed by the JSON library's own text, from
// parseTfConfigSection the JSON library's exceptions. A record must hold exactly what its section
// gives: an entry is either unset (both flags false, defaults) or read from the section (set and
// locked). The only line the reader writes on the standard error stream is the policy warning.
// Anything else aborts.
//
// Built with libFuzzer by scripts/fuzz.sh; the test suite replays the committed corpus through
// the same entry point with a plain driver (replay_main.cpp).

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "kivo_tf_imu.hpp"
#include "kivo_tf_pose.hpp"
#include "kivo_tf_twist.hpp"
#include "kivo_tf_wrench.hpp"

namespace {

using nlohmann::json;
using Record = kivo::KivoTfConfigInternal;

constexpr std::array<const char*, 4> kSections{"tf_wrench_config", "tf_twist_config", "tf_pose_config",
                                               "tf_imu_config"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "config loader fuzz target: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// The configuration file of this process, rewritten for every input. Shared memory when the
// machine has it, so that no disk is touched.
class ScratchFile {
 public:
  ScratchFile() {
    const std::filesystem::path shm("/dev/shm");
    std::error_code error;
    const std::filesystem::path directory =
        std::filesystem::is_directory(shm, error) && ::access(shm.c_str(), W_OK) == 0
            ? shm
            : std::filesystem::temp_directory_path();
    path_ = (directory / ("kivo_tf_fuzz_" + std::to_string(::getpid()) + ".json")).string();
  }
  ScratchFile(const ScratchFile&) = delete;
  ~ScratchFile() { std::remove(path_.c_str()); }

  const std::string& write(const std::uint8_t* data, std::size_t size) const {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) {
      fail("cannot write " + path_);
    }
    return path_;
  }

 private:
  std::string path_;
};

// Collects what the library writes to std::cerr, so that it can be checked and kept off the
// terminal. Sanitizer and fuzzer reports write to file descriptor 2 directly and stay visible.
class CerrCapture {
 public:
  CerrCapture() : previous_(std::cerr.rdbuf(&buffer_)) {}
  CerrCapture(const CerrCapture&) = delete;
  ~CerrCapture() { std::cerr.rdbuf(previous_); }

  std::string take() {
    std::string text = buffer_.str();
    buffer_.str({});
    return text;
  }

 private:
  std::stringbuf buffer_;
  std::streambuf* previous_;
};

// The one line the reader may write: the warning for a policy text outside the table. It is
// written once the name has been read, before any entry, so also when an entry fails later.
std::string expectedWarning(const json& section) {
  if (!section.is_object() || (section.contains("name") && !section.at("name").is_string()) ||
      !section.contains("policy") || !section.at("policy").is_string()) {
    return {};
  }
  const auto& policy = section.at("policy").get_ref<const std::string&>();
  if (policy == "best_effort" || policy == "soft_rt" || policy == "hard_rt" || policy == "strict_rt") {
    return {};
  }
  return "Warning: unknown policy \"" + policy + "\" in JSON config; defaulting to best_effort.\n";
}

kivo::KivoControlBlockPolicy expectedPolicy(const json& section) {
  if (!section.contains("policy")) return kivo::KivoControlBlockPolicy::BestEffort;
  const auto& policy = section.at("policy").get_ref<const std::string&>();
  if (policy == "soft_rt") return kivo::KivoControlBlockPolicy::SoftRt;
  if (policy == "hard_rt") return kivo::KivoControlBlockPolicy::HardRt;
  if (policy == "strict_rt") return kivo::KivoControlBlockPolicy::StrictRt;
  return kivo::KivoControlBlockPolicy::BestEffort;
}

template <std::size_t N>
bool sameNumbers(const std::array<double, N>& actual, const std::array<double, N>& expected) {
  return std::memcmp(actual.data(), expected.data(), sizeof(double) * N) == 0;
}

// An entry of a successfully read section: unset with defaults when the section lacks `key`,
// otherwise set, locked, with the origin and the first N numbers of `vector_key`.
template <class Entry>
void checkEntry(const Entry& entry, const json& section, const char* key, const char* vector_key) {
  const Entry defaults{};
  const bool given = section.is_object() && section.contains(key);
  if (entry.from_json && !entry.is_set) fail(std::string(key) + ": locked but not set");
  if (entry.is_set != given || entry.from_json != given) {
    fail(std::string(key) + ": flags do not match the section");
  }
  if constexpr (std::is_same_v<Entry, kivo::TranslationEntry>) {
    std::array<double, 3> expected = defaults.translation;
    if (given) {
      for (std::size_t i = 0; i < 3; ++i) {
        expected[i] = section.at(key).at(vector_key).at(i).template get<double>();
      }
    }
    if (!sameNumbers(entry.translation, expected)) fail(std::string(key) + ": wrong translation");
  } else {
    std::array<double, 4> expected = defaults.rotation;
    if (given) {
      for (std::size_t i = 0; i < 4; ++i) {
        expected[i] = section.at(key).at(vector_key).at(i).template get<double>();
      }
    }
    if (!sameNumbers(entry.rotation, expected)) fail(std::string(key) + ": wrong rotation");
  }
  const std::string expected_origin =
      given ? section.at(key).at("origin").get<std::string>() : std::string{};
  if (entry.origin != expected_origin) fail(std::string(key) + ": wrong origin");
}

// A record that parseTfConfigSection returned for `section` (a section that is not an object
// gives the default record).
void checkRecord(const Record& record, const json& section) {
  const bool object = section.is_object();
  const std::string expected_name =
      object && section.contains("name") ? section.at("name").get<std::string>() : std::string{};
  if (record.name != expected_name) fail("wrong name");
  const auto expected_policy = object ? expectedPolicy(section) : kivo::KivoControlBlockPolicy::BestEffort;
  if (record.policy != expected_policy) fail("wrong policy");
  checkEntry(record.input_ref_point, section, "set_input_reference_point", "translation");
  checkEntry(record.input_expr_axes, section, "set_input_expression_axes", "rotation");
  checkEntry(record.output_ref_point, section, "set_output_reference_point", "translation");
  checkEntry(record.output_expr_axes, section, "set_output_expression_axes", "rotation");
}

bool sameRecord(const Record& a, const Record& b) {
  const auto same_translation = [](const kivo::TranslationEntry& x, const kivo::TranslationEntry& y) {
    return x.is_set == y.is_set && x.from_json == y.from_json && x.origin == y.origin &&
           sameNumbers(x.translation, y.translation);
  };
  const auto same_rotation = [](const kivo::RotationEntry& x, const kivo::RotationEntry& y) {
    return x.is_set == y.is_set && x.from_json == y.from_json && x.origin == y.origin &&
           sameNumbers(x.rotation, y.rotation);
  };
  return a.name == b.name && a.policy == b.policy &&
         same_translation(a.input_ref_point, b.input_ref_point) &&
         same_rotation(a.input_expr_axes, b.input_expr_axes) &&
         same_translation(a.output_ref_point, b.output_ref_point) &&
         same_rotation(a.output_expr_axes, b.output_expr_axes);
}

// What parseTfConfigSection made of one section: the record, or the JSON library's error text.
struct SectionOutcome {
  std::optional<Record> record;
  std::string error;
};

SectionOutcome parseSection(const json& section, CerrCapture& cerr) {
  SectionOutcome outcome;
  try {
    outcome.record = kivo::parseTfConfigSection(section);
    checkRecord(*outcome.record, section);
  } catch (const json::exception& e) {
    outcome.error = e.what();
  } catch (const std::exception& e) {
    fail(std::string("parseTfConfigSection threw a non-JSON exception: ") + e.what());
  } catch (...) {
    fail("parseTfConfigSection threw something that is no std::exception");
  }
  if (cerr.take() != expectedWarning(section)) fail("unexpected text on the standard error stream");
  return outcome;
}

// The block that reads `section` from the file: built from the path, given a transform, one cycle.
template <class Block, std::size_t N>
void runBlock(const std::string& path) {
  Block block(path);
  if constexpr (!std::is_same_v<Block, kivo::KivoTfPose>) {
    block.setFixedToMovingFrameTf({0.25, -1.0, 2.0, 0.5, 0.5, -0.5, 0.5});
  }
  std::array<double, N> signal_in{}, signal_out{};
  signal_in.fill(0.5);
  signal_in[0] = 1.0;
  const kivo::KivoControlReturnCode code = block.update(signal_in, signal_out);
  if (code != kivo::KivoControlReturnCode::Ok && code != kivo::KivoControlReturnCode::NotReady &&
      code != kivo::KivoControlReturnCode::Error) {
    fail("update returned an unknown code");
  }
}

void runBlockOfSection(std::size_t section_index, const std::string& path) {
  switch (section_index) {
    case 0: runBlock<kivo::KivoTfWrench, 6>(path); break;
    case 1: runBlock<kivo::KivoTfTwist, 6>(path); break;
    case 2: runBlock<kivo::KivoTfPose, 7>(path); break;
    default: runBlock<kivo::KivoTfImu, 6>(path); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchFile scratch;
  static CerrCapture cerr;
  const std::string& path = scratch.write(data, size);
  const std::string wrap = "Failed to parse config file '" + path + "': ";

  // The file's first JSON value, read as the loader reads it: stream extraction, the rest unread.
  std::optional<json> document;
  std::string document_error;
  try {
    std::istringstream text(size == 0 ? std::string()
                                      : std::string(reinterpret_cast<const char*>(data), size));
    json value;
    text >> value;
    document = std::move(value);
  } catch (const json::exception& e) {
    document_error = e.what();
  }
  if (document) parseSection(*document, cerr);

  for (std::size_t i = 0; i < kSections.size(); ++i) {
    const char* section_name = kSections[i];
    // What the loader must do, from the documented steps: a parse error, a top level that is not
    // an object (at() with a name) or a missing section is wrapped; otherwise the section's own
    // outcome is, wrapped when it is an error.
    SectionOutcome expected;
    std::string expected_warning;
    if (!document) {
      expected.error = document_error;
    } else {
      try {
        const json& section = document->at(section_name);
        expected_warning = expectedWarning(section);
        expected = parseSection(section, cerr);
      } catch (const json::exception& e) {
        expected.error = e.what();
      }
    }

    std::optional<Record> loaded;
    try {
      loaded = kivo::loadTfConfigFromFile(path, section_name);
    } catch (const std::runtime_error& e) {
      const std::string message = e.what();
      if (expected.record || message != wrap + expected.error) {
        fail("loader failed with \"" + message + "\" instead of " +
             (expected.record ? std::string("succeeding") : "\"" + wrap + expected.error + "\""));
      }
    } catch (const std::exception& e) {
      fail(std::string("loader threw something other than std::runtime_error: ") + e.what());
    } catch (...) {
      fail("loader threw something that is no std::exception");
    }
    if (loaded && !(expected.record && sameRecord(*loaded, *expected.record))) {
      fail(std::string("loader result differs from the section's for ") + section_name);
    }
    if (cerr.take() != expected_warning) fail("unexpected text on the standard error stream from the loader");

    if (loaded) {
      runBlockOfSection(i, path);
      cerr.take();  // readiness lines and the policy warning again
    }
  }
  return 0;
}
