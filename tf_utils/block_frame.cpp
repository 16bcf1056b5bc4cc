#include "block_frame.hpp"

#include <cstdint>
#include <utility>

#include "diagnostics.hpp"

namespace kivo::detail {

bool usesMovingFrame(const std::string& origin) noexcept { return origin == "moving_frame"; }

BlockFrame::BlockFrame(const BlockKind& kind, const std::string& config_file)
    : BlockFrame(kind, loadTfConfigFromFile(config_file, kind.file_section)) {}

BlockFrame::BlockFrame(const BlockKind& kind, const KivoTfConfig& config)
    : BlockFrame(kind, toInternal(config)) {}

BlockFrame::BlockFrame(const BlockKind& kind, KivoTfConfigInternal config)
    : entries_(cycleEntriesOf(config)), config_(std::move(config)), class_name_(kind.class_name) {}

BlockFrame::CycleEntries BlockFrame::cycleEntriesOf(const KivoTfConfigInternal& c) noexcept {
  return {c.input_ref_point.translation,
          c.input_expr_axes.rotation,
          c.output_ref_point.translation,
          c.output_expr_axes.rotation,
          {usesMovingFrame(c.input_ref_point.origin), usesMovingFrame(c.input_expr_axes.origin),
           usesMovingFrame(c.output_ref_point.origin), usesMovingFrame(c.output_expr_axes.origin)},
          allEntriesSet(c)};
}

template <class Entry, class Values>
bool BlockFrame::replaceEntry(Entry& entry, Values& cycle_values, bool& moving,
                              std::string_view word, const std::string& origin,
                              const Values& values) {
  if (entry.from_json) {
    writeDiagnosticLine(
        {class_name_, ": ", word, " was loaded from JSON and cannot be overridden from code."});
    return false;
  }
  // Built completely before it replaces the stored entry: a failed copy of the origin leaves the
  // stored entry as it was.
  Entry replacement{true, false, origin, values};
  moving = usesMovingFrame(replacement.origin);
  entry = std::move(replacement);
  cycle_values = values;
  entries_.all_set = allEntriesSet(config_);
  return true;
}

bool BlockFrame::setInputReferencePoint(const std::string& origin, const Vec3& translation) {
  return replaceEntry(config_.input_ref_point, entries_.p_i, entries_.moving.input_ref_point,
                      "InputReferencePoint", origin, translation);
}

bool BlockFrame::setInputExpressionAxes(const std::string& origin, const Quat& rotation) {
  return replaceEntry(config_.input_expr_axes, entries_.q_i, entries_.moving.input_expr_axes,
                      "InputExpressionAxes", origin, rotation);
}

bool BlockFrame::setOutputReferencePoint(const std::string& origin, const Vec3& translation) {
  return replaceEntry(config_.output_ref_point, entries_.p_o, entries_.moving.output_ref_point,
                      "OutputReferencePoint", origin, translation);
}

bool BlockFrame::setOutputExpressionAxes(const std::string& origin, const Quat& rotation) {
  return replaceEntry(config_.output_expr_axes, entries_.q_o, entries_.moving.output_expr_axes,
                      "OutputExpressionAxes", origin, rotation);
}

bool BlockFrame::allEntriesSet(const KivoTfConfigInternal& c) noexcept {
  return c.input_ref_point.is_set && c.input_expr_axes.is_set && c.output_ref_point.is_set &&
         c.output_expr_axes.is_set;
}

KivoControlReturnCode BlockFrame::refuse(std::string_view reason) const noexcept {
  writeDiagnosticLine({class_name_, ": ", reason});
  // Policies up to SoftRt are lenient; every greater value, named or not, is strict.
  const auto policy = static_cast<std::uint32_t>(config_.policy);
  return policy <= static_cast<std::uint32_t>(KivoControlBlockPolicy::SoftRt)
             ? KivoControlReturnCode::NotReady
             : KivoControlReturnCode::Error;
}

void BlockFrame::reportException(const std::exception& e) const noexcept {
  writeDiagnosticLine({class_name_, "::update exception: ", e.what()});
}

}  // namespace kivo::detail
