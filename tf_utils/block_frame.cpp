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
    : config_(std::move(config)),
      moving_{usesMovingFrame(config_.input_ref_point.origin),
              usesMovingFrame(config_.input_expr_axes.origin),
              usesMovingFrame(config_.output_ref_point.origin),
              usesMovingFrame(config_.output_expr_axes.origin)},
      class_name_(kind.class_name) {}

template <class Entry, class Values>
bool BlockFrame::replaceEntry(Entry& entry, bool& moving, std::string_view word,
                              const std::string& origin, const Values& values) {
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
  return true;
}

bool BlockFrame::setInputReferencePoint(const std::string& origin, const Vec3& translation) {
  return replaceEntry(config_.input_ref_point, moving_.input_ref_point, "InputReferencePoint",
                      origin, translation);
}

bool BlockFrame::setInputExpressionAxes(const std::string& origin, const Quat& rotation) {
  return replaceEntry(config_.input_expr_axes, moving_.input_expr_axes, "InputExpressionAxes",
                      origin, rotation);
}

bool BlockFrame::setOutputReferencePoint(const std::string& origin, const Vec3& translation) {
  return replaceEntry(config_.output_ref_point, moving_.output_ref_point, "OutputReferencePoint",
                      origin, translation);
}

bool BlockFrame::setOutputExpressionAxes(const std::string& origin, const Quat& rotation) {
  return replaceEntry(config_.output_expr_axes, moving_.output_expr_axes, "OutputExpressionAxes",
                      origin, rotation);
}

bool BlockFrame::allEntriesSet() const noexcept {
  return config_.input_ref_point.is_set && config_.input_expr_axes.is_set &&
         config_.output_ref_point.is_set && config_.output_expr_axes.is_set;
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

void MovingFrameBlock::setFixedToMovingFrameTf(const Signal7& tf) noexcept {
  fixed_to_moving_translation_ = {tf[0], tf[1], tf[2]};
  fixed_to_moving_rotation_ = {tf[3], tf[4], tf[5], tf[6]};
  fixed_to_moving_tf_set_ = true;
}

std::string_view MovingFrameBlock::missingTransform() const noexcept {
  if (moving().any() && !fixed_to_moving_tf_set_) {
    return "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.";
  }
  return {};
}

MovingFrameBlock::Resolved MovingFrameBlock::resolveEntries() const noexcept {
  const Vec3& t_FM = fixed_to_moving_translation_;
  const Quat& q_FM = fixed_to_moving_rotation_;
  const KivoTfConfigInternal& c = config();
  const MovingEntries& m = moving();
  return {
      m.input_ref_point ? pointInFixedFrame(t_FM, q_FM, c.input_ref_point.translation)
                        : c.input_ref_point.translation,
      m.input_expr_axes ? axesInFixedFrame(q_FM, c.input_expr_axes.rotation)
                        : c.input_expr_axes.rotation,
      m.output_ref_point ? pointInFixedFrame(t_FM, q_FM, c.output_ref_point.translation)
                         : c.output_ref_point.translation,
      m.output_expr_axes ? axesInFixedFrame(q_FM, c.output_expr_axes.rotation)
                         : c.output_expr_axes.rotation,
  };
}

}  // namespace kivo::detail
