#pragma once

// The frame shared by the four transform blocks: the private configuration copy, the frame-entry
// setters with their lock against entries loaded from JSON, the preamble of `update` with its
// messages and not-ready outcome, and the exception handler. `MovingFrameBlock` adds the
// caller-supplied fixed-to-moving-frame transform of the wrench, twist and IMU blocks.
//
// F is the fixed frame, M the moving frame. A suffix _F marks a point in fixed-frame coordinates or
// a vector expressed in fixed-frame axes.

#include <array>
#include <exception>
#include <string>
#include <string_view>

#include "config.hpp"
#include "quaternion.hpp"

namespace kivo::detail {

using Signal6 = std::array<double, 6>;
using Signal7 = std::array<double, 7>;

// What tells the blocks apart in the frame: the class name that starts every message, and the
// section of the JSON configuration file the block reads.
struct BlockKind {
  std::string_view class_name;
  const char* file_section;
};

// True when `origin` is exactly "moving_frame"; every other text means the fixed frame.
bool usesMovingFrame(const std::string& origin) noexcept;

// A point p_M given in moving-frame coordinates, placed in the fixed frame with the pose
// (t_FM, q_FM) of M in F: R(q_FM)·p_M + t_FM.
constexpr Vec3 pointInFixedFrame(const Vec3& t_FM, const Quat& q_FM, const Vec3& p_M) noexcept {
  return add(rotate(q_FM, p_M), t_FM);
}

// Axes q_M given relative to the moving frame, placed relative to the fixed frame: q_FM ⊗ q_M.
constexpr Quat axesInFixedFrame(const Quat& q_FM, const Quat& q_M) noexcept {
  return multiply(q_FM, q_M);
}

class BlockFrame {
 public:
  const std::string& name() const noexcept { return config_.name; }

  // Each setter replaces its whole entry (set, not locked) and returns true, or, when the entry
  // was loaded from JSON, reports that and returns false with the entry unchanged.
  bool setInputReferencePoint(const std::string& origin, const Vec3& translation);
  bool setInputExpressionAxes(const std::string& origin, const Quat& rotation);
  bool setOutputReferencePoint(const std::string& origin, const Vec3& translation);
  bool setOutputExpressionAxes(const std::string& origin, const Quat& rotation);

 protected:
  // Whether each entry uses the moving frame; decided whenever the entry is set, so that the
  // per-cycle path compares no text.
  struct MovingEntries {
    bool input_ref_point = false;
    bool input_expr_axes = false;
    bool output_ref_point = false;
    bool output_expr_axes = false;

    constexpr bool any() const noexcept {
      return input_ref_point || input_expr_axes || output_ref_point || output_expr_axes;
    }
  };

  // What one cycle reads of the stored entries, in one compact record: their values as stored
  // (translations [x, y, z] in metres, rotations [w, x, y, z], each in the frame its origin
  // names), their moving-frame flags and whether all four are set. A copy of the configuration's
  // numbers, renewed by the constructor and every setter that changes an entry; it holds stored
  // entries only, never entries placed in the fixed frame.
  struct CycleEntries {
    Vec3 p_i;
    Quat q_i;
    Vec3 p_o;
    Quat q_o;
    MovingEntries moving;
    bool all_set = false;
  };

  BlockFrame(const BlockKind& kind, const std::string& config_file);
  BlockFrame(const BlockKind& kind, const KivoTfConfig& config);
  BlockFrame(const BlockKind& kind, KivoTfConfigInternal config);

  const CycleEntries& entries() const noexcept { return entries_; }
  const MovingEntries& moving() const noexcept { return entries_.moving; }

  // The preamble and exception handler around one cycle's arithmetic. Refuses with the readiness
  // line while an entry is unset, then with "<class>: " followed by the text that the block's own
  // test `refusal()` returns when it is not empty; otherwise runs `compute()` and returns Ok. A
  // refusal returns NotReady or Error by policy; a standard exception returns Error. The success
  // path is inline and calls nothing (flattened: the block's arithmetic is compiled into it
  // whatever its size); only refusals leave it.
  template <class Refusal, class Compute>
  [[gnu::flatten]] KivoControlReturnCode runUpdate(const Refusal& refusal, const Compute& compute) const {
    try {
      if (!entries_.all_set) {
        return refuse(kEntriesUnset);
      }
      if (const std::string_view reason = refusal(); !reason.empty()) {
        return refuse(reason);
      }
      compute();
      return KivoControlReturnCode::Ok;
    } catch (const std::exception& e) {
      reportException(e);
      return KivoControlReturnCode::Error;
    }
  }

 private:
  static constexpr std::string_view kEntriesUnset =
      "update() called before all TF entries are set.";

  template <class Entry, class Values>
  bool replaceEntry(Entry& entry, Values& cycle_values, bool& moving, std::string_view word,
                    const std::string& origin, const Values& values);

  static bool allEntriesSet(const KivoTfConfigInternal& c) noexcept;
  static CycleEntries cycleEntriesOf(const KivoTfConfigInternal& c) noexcept;
  [[gnu::cold]] KivoControlReturnCode refuse(std::string_view reason) const noexcept;
  [[gnu::cold]] void reportException(const std::exception& e) const noexcept;

  // First, ahead of the texts of the configuration: what every cycle reads stays in the first
  // cache lines of the block.
  CycleEntries entries_;
  KivoTfConfigInternal config_;
  std::string_view class_name_;
};

// The fixed-to-moving-frame transform as the caller last gave it: whether it was given, and the
// pose (t_FM, q_FM) of M in F, t_FM in metres and q_FM as [w, x, y, z], both stored unchanged.
struct FixedToMovingFrameTf {
  bool fixed_to_moving_tf_set_ = false;
  Vec3 fixed_to_moving_translation_{0.0, 0.0, 0.0};
  Quat fixed_to_moving_rotation_{1.0, 0.0, 0.0, 0.0};
};

// Frame of the wrench, twist and IMU blocks. Their signal is a pair of 3-vectors [linear, angular]
// about a reference point, and their entries in the moving frame are placed with the
// fixed-to-moving-frame transform (t_FM, q_FM) that the caller supplies. The transform is the
// first base, so that it lies right before the per-cycle entries of the block frame: everything
// a cycle reads and writes is one contiguous run at the start of the block, ahead of the texts.
class MovingFrameBlock : private FixedToMovingFrameTf, public BlockFrame {
 public:
  // tf = [x, y, z, qw, qx, qy, qz]: position and orientation of M in F, stored unchanged.
  void setFixedToMovingFrameTf(const Signal7& tf) noexcept {
    fixed_to_moving_translation_ = {tf[0], tf[1], tf[2]};
    fixed_to_moving_rotation_ = {tf[3], tf[4], tf[5], tf[6]};
    fixed_to_moving_tf_set_ = true;
  }

 protected:
  using BlockFrame::BlockFrame;

  // Runs one cycle: expresses the pair of `in` in fixed-frame axes, lets `transport(p_i_F, p_o_F,
  // linear_F, angular_F)` move it from the input to the output reference point, and writes it to
  // `out` expressed in the output axes (R(q_o*), the transpose of R(q_o)). The entries placed in
  // the fixed frame live only for this cycle.
  template <class Transport>
  KivoControlReturnCode transformPair(const Signal6& in, Signal6& out,
                                      const Transport& transport) const {
    return runUpdate([this] { return missingTransform(); },
                     [&] {
                       const CycleEntries& e = entries();
                       const Vec3& t_FM = fixed_to_moving_translation_;
                       const Quat& q_FM = fixed_to_moving_rotation_;
                       Vec3 p_i_F = e.p_i;
                       if (e.moving.input_ref_point) p_i_F = pointInFixedFrame(t_FM, q_FM, e.p_i);
                       Quat q_i_F = e.q_i;
                       if (e.moving.input_expr_axes) q_i_F = axesInFixedFrame(q_FM, e.q_i);
                       Vec3 p_o_F = e.p_o;
                       if (e.moving.output_ref_point) p_o_F = pointInFixedFrame(t_FM, q_FM, e.p_o);
                       Quat q_o_F = e.q_o;
                       if (e.moving.output_expr_axes) q_o_F = axesInFixedFrame(q_FM, e.q_o);

                       Vec3 linear_F = rotate(q_i_F, Vec3{in[0], in[1], in[2]});
                       Vec3 angular_F = rotate(q_i_F, Vec3{in[3], in[4], in[5]});
                       transport(p_i_F, p_o_F, linear_F, angular_F);
                       const Quat q_o_F_conj = conjugate(q_o_F);
                       const Vec3 linear_out = rotate(q_o_F_conj, linear_F);
                       const Vec3 angular_out = rotate(q_o_F_conj, angular_F);
                       out = {linear_out[0],  linear_out[1],  linear_out[2],
                              angular_out[0], angular_out[1], angular_out[2]};
                     });
  }

 private:
  std::string_view missingTransform() const noexcept {
    if (moving().any() && !fixed_to_moving_tf_set_) {
      return kTransformMissing;
    }
    return {};
  }

  static constexpr std::string_view kTransformMissing =
      "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.";
};

}  // namespace kivo::detail
