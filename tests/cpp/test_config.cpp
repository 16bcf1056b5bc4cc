// Configuration records: conversion of the public record and the JSON configuration file reader.

#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace kivo_test {
namespace {

const std::string kSection = "tf_wrench_config";

template <class Entry, class Values>
void expectEntry(const Entry& entry, bool is_set, bool from_json, const std::string& origin, const Values& values) {
  EXPECT_EQ(std::tie(entry.is_set, entry.from_json, entry.origin), std::tie(is_set, from_json, origin));
  if constexpr (std::is_same_v<Entry, kivo::TranslationEntry>) { EXPECT_EQ(entry.translation, values); } else { EXPECT_EQ(entry.rotation, values); }
}
const std::array<double, 3> kZero{0, 0, 0};
const std::array<double, 4> kIdentity{1, 0, 0, 0};

void expectDefaultRecord(const kivo::KivoTfConfigInternal& record) {
  EXPECT_EQ(record.name, "");
  EXPECT_EQ(record.policy, Policy::BestEffort);
  expectEntry(record.input_ref_point, false, false, "", kZero);
  expectEntry(record.input_expr_axes, false, false, "", kIdentity);
  expectEntry(record.output_ref_point, false, false, "", kZero);
  expectEntry(record.output_expr_axes, false, false, "", kIdentity);
}

std::string wrenchFile(const std::string& section) { return "{\"" + kSection + "\": " + section + "}"; }
std::string entryFile(const std::string& key, const std::string& entry) {
  return wrenchFile("{\"" + key + "\": " + entry + "}");
}
kivo::KivoTfConfigInternal load(const std::string& path) { return kivo::loadTfConfigFromFile(path, kSection); }

TEST(ToInternal, CopiesNameAndPolicyAndOnlyEntriesWithAnOrigin) {
  kivo::KivoTfConfig config;
  config.name = "wrist";
  config.policy = static_cast<Policy>(9);
  config.input_ref_point = {"", {1, 2, 3}};
  config.input_expr_axes = {"", {0, 0, 0, 0}};
  config.output_ref_point = {"moving_frame ", {4, 5, 6}};
  config.output_expr_axes = {"fixed_frame", {0, 0, 0, 0}};
  const auto record = kivo::toInternal(config);
  EXPECT_EQ(record.name, "wrist");
  EXPECT_EQ(static_cast<std::uint32_t>(record.policy), 9u);
  expectEntry(record.input_ref_point, false, false, "", kZero);
  expectEntry(record.input_expr_axes, false, false, "", kIdentity);
  expectEntry(record.output_ref_point, true, false, "moving_frame ", std::array<double, 3>{4, 5, 6});
  expectEntry(record.output_expr_axes, true, false, "fixed_frame", std::array<double, 4>{0, 0, 0, 0});
  expectDefaultRecord(kivo::toInternal(kivo::KivoTfConfig{}));
}

TEST(LoadTfConfig, EmptyPathGivesTheDefaultRecordSilently) {
  kivo::KivoTfConfigInternal record;
  record.name = "stale";
  EXPECT_EQ(stderrOf([&] { record = load(""); }), "");
  expectDefaultRecord(record);
}

TEST(LoadTfConfig, UnopenablePathIsReportedUnwrapped) {
  const std::string missing = testing::TempDir() + "kivo_no_such_dir/config.json";
  EXPECT_EQ(runtimeErrorOf([&] { load(missing); }), "Could not open config file: " + missing);
  // The name before the NUL exists and holds a valid section; it must not be opened instead.
  const TempJsonFile file(wrenchFile("{}"));
  const std::string with_nul = file.path + std::string("\0.bak", 5);
  // what() ends at the NUL, so the reported text is cut there too.
  EXPECT_EQ(runtimeErrorOf([&] { load(with_nul); }), std::string(("Could not open config file: " + with_nul).c_str()));
}

struct LoadFailure {
  const char* label;
  std::string file_text;
  std::string library_text;
  bool prefix_only = false;
};

TEST(LoadTfConfig, FailuresWrapTheJsonLibraryText) {
  const std::string parse_error = "[json.exception.parse_error.101]";
  const std::string not_a_string = "[json.exception.type_error.302] type must be string, but is number";
  const std::string point = "set_input_reference_point", axes = "set_output_expression_axes";
  const std::vector<LoadFailure> failures = {
      {"whitespace only", " \n\t ", parse_error, true},
      {"line comment before the value", "// sensor\n" + wrenchFile("{}"), parse_error, true},
      {"block comment inside the value", "{/* sensor */ \"" + kSection + "\": {}}", parse_error, true},
      {"top level is an array", "[1, 2]", "[json.exception.type_error.304] cannot use at() with array"},
      {"section missing", R"({"tf_twist_config": {}})", "[json.exception.out_of_range.403] key 'tf_wrench_config' not found"},
      {"name not a string", wrenchFile(R"({"name": 3})"), not_a_string},
      {"policy not a string", wrenchFile(R"({"policy": 1})"), not_a_string},
      {"origin not a string", entryFile(point, R"({"origin": 2, "translation": [0, 0, 0]})"), not_a_string},
      {"entry not an object", entryFile(point, "5"), "[json.exception.type_error.304] cannot use at() with number"},
      {"origin missing, numbers too", entryFile(axes, "{}"), "[json.exception.out_of_range.403] key 'origin' not found"},
      {"translation missing", entryFile(point, R"({"origin": "fixed_frame"})"), "[json.exception.out_of_range.403] key 'translation' not found"},
      {"translation not an array", entryFile(point, R"({"origin": "fixed_frame", "translation": "1 2 3"})"), "[json.exception.type_error.305] cannot use operator[] with a numeric argument with string"},
      {"boolean element", entryFile(point, R"({"origin": "fixed_frame", "translation": [1, true, 3]})"), "[json.exception.type_error.302] type must be number, but is boolean"},
      {"string element", entryFile(axes, R"({"origin": "fixed_frame", "rotation": [1, "0", 0, 0]})"), "[json.exception.type_error.302] type must be number, but is string"},
      {"two-element translation", entryFile(point, R"({"origin": "fixed_frame", "translation": [1, 2]})"), "[json.exception.out_of_range.401]", true},
      {"three-element rotation", entryFile(axes, R"({"origin": "fixed_frame", "rotation": [1, 0, 0]})"), "[json.exception.out_of_range.401]", true},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.label);
    const TempJsonFile file(failure.file_text);
    const std::string expected = "Failed to parse config file '" + file.path + "': " + failure.library_text;
    const std::string message = runtimeErrorOf([&] { load(file.path); });
    EXPECT_EQ(failure.prefix_only ? message.substr(0, expected.size()) : message, expected);
  }
}

// A policy string outside the table warns and falls back to BestEffort; the warning comes before
// any entry is read, so a later broken entry still shows it.
TEST(LoadTfConfig, PolicyStringsMapOrWarnAndFallBackToBestEffort) {
  const auto warning = [](const std::string& text) {
    return "Warning: unknown policy \"" + text + "\" in JSON config; defaulting to best_effort.\n";
  };
  for (const auto& [text, policy, warns] : std::vector<std::tuple<std::string, Policy, bool>>{
           {"best_effort", Policy::BestEffort, false}, {"soft_rt", Policy::SoftRt, false}, {"hard_rt", Policy::HardRt, false},
           {"strict_rt", Policy::StrictRt, false}, {"Hard_RT", Policy::BestEffort, true}, {"", Policy::BestEffort, true}}) {
    const TempJsonFile file(wrenchFile(R"({"policy": ")" + text + "\"}"));
    kivo::KivoTfConfigInternal record;
    record.policy = static_cast<Policy>(8);
    EXPECT_EQ(stderrOf([&] { record = load(file.path); }), warns ? warning(text) : "") << text;
    EXPECT_EQ(record.policy, policy) << text;
  }
  const TempJsonFile broken(wrenchFile(R"({"policy": "Hard_RT", "set_input_reference_point": 5})"));
  std::string message;
  EXPECT_EQ(stderrOf([&] { message = runtimeErrorOf([&] { load(broken.path); }); }), warning("Hard_RT"));
  EXPECT_NE(message.find("[json.exception.type_error.304]"), std::string::npos) << message;
}

TEST(LoadTfConfig, LoadedEntriesAreSetAndLocked) {
  // Byte-order mark, integers mixed with decimals, surplus elements and members, and trailing
  // text after the top-level value that is never read.
  const TempJsonFile file("\xEF\xBB\xBF" + wrenchFile(R"({
      "name": "ft sensor", "policy": "soft_rt", "comment": true,
      "set_input_reference_point": {"origin": "moving_frame", "translation": [1, 2.5, -3e-1, 4]},
      "set_input_expression_axes": {"origin": "", "rotation": [0, 1, 0, 0, 7]},
      "set_output_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0], "unit": "m"},
      "set_output_expression_axes": {"origin": "moving_Frame", "rotation": [0.5, -0.5, 0.5, -0.5]}})") +
                          "\n{\"" + kSection + "\": not json");
  const auto record = load(file.path);
  EXPECT_EQ(record.name, "ft sensor");
  EXPECT_EQ(record.policy, Policy::SoftRt);
  expectEntry(record.input_ref_point, true, true, "moving_frame", std::array<double, 3>{1, 2.5, -0.3});
  expectEntry(record.input_expr_axes, true, true, "", std::array<double, 4>{0, 1, 0, 0});
  expectEntry(record.output_ref_point, true, true, "fixed_frame", std::array<double, 3>{0, 0, 0});
  expectEntry(record.output_expr_axes, true, true, "moving_Frame", std::array<double, 4>{0.5, -0.5, 0.5, -0.5});
}

TEST(LoadTfConfig, SectionsThatAreNoObjectGiveTheDefaultRecord) {
  for (const std::string section : {"null", "7", "[1, 2]", "\"text\"", "{}"}) {
    SCOPED_TRACE(section);
    const TempJsonFile file(wrenchFile(section));
    expectDefaultRecord(load(file.path));
  }
}

TEST(ParseTfConfigSection, LetsJsonExceptionsPassUnchanged) {
  EXPECT_THROW(kivo::parseTfConfigSection(nlohmann::json::parse(R"({"name": 3})")), nlohmann::json::type_error);
  EXPECT_THROW(kivo::parseTfConfigSection(nlohmann::json::parse(R"({"set_input_expression_axes": {}})")),
               nlohmann::json::out_of_range);
}

}  // namespace
}  // namespace kivo_test
