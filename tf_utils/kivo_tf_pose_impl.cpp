#include "kivo_tf_pose_impl.hpp"

namespace kivo {
namespace {

constexpr detail::BlockKind kPoseKind{"KivoTfPose", "tf_pose_config"};

}  // namespace

KivoTfPose::KivoTfPoseImpl::KivoTfPoseImpl(const std::string& config_file)
    : BlockFrame(kPoseKind, config_file) {}

KivoTfPose::KivoTfPoseImpl::KivoTfPoseImpl(const KivoTfConfig& config)
    : BlockFrame(kPoseKind, config) {}

// M is the body whose pose is the signal; its pose (t_M, q_M) in F follows from the input each
// cycle and places the output entries given in the moving frame. The input expression axes may
// not be in M: the input orientation would be needed to place its own axes.
KivoControlReturnCode KivoTfPose::KivoTfPoseImpl::update(const detail::Signal7& pose_in,
                                                         detail::Signal7& pose_out) const {
  using namespace detail;
  const auto refusal = [this]() -> std::string_view {
    if (moving().input_expr_axes) {
      return "input expression axes cannot use 'moving_frame' — this creates a circular "
             "dependency with the input quaternion.";
    }
    return {};
  };
  return runUpdate(refusal, [&] {
    const KivoTfConfigInternal& c = config();
    const MovingEntries& m = moving();
    const Vec3 p{pose_in[0], pose_in[1], pose_in[2]};
    const Quat q{pose_in[3], pose_in[4], pose_in[5], pose_in[6]};
    const Quat& q_in = c.input_expr_axes.rotation;

    const Quat q_M = normalized(multiply(q_in, q));
    const Vec3 p_F = rotate(q_in, p);
    // A fixed-frame input point is an offset in F axes; a moving-frame one turns with the body.
    const Vec3 p_i_F =
        m.input_ref_point ? rotate(q_M, c.input_ref_point.translation) : c.input_ref_point.translation;
    const Vec3 t_M = subtract(p_F, p_i_F);

    const Vec3 p_o_F = m.output_ref_point
                           ? pointInFixedFrame(t_M, q_M, c.output_ref_point.translation)
                           : c.output_ref_point.translation;
    const Quat q_o_F = m.output_expr_axes
                           ? normalized(axesInFixedFrame(q_M, c.output_expr_axes.rotation))
                           : c.output_expr_axes.rotation;

    const Quat q_o_F_conj = conjugate(q_o_F);
    const Vec3 p_out = rotate(q_o_F_conj, p_o_F);
    const Quat q_out = multiply(q_o_F_conj, q_M);
    pose_out = {p_out[0], p_out[1], p_out[2], q_out[0], q_out[1], q_out[2], q_out[3]};
  });
}

}  // namespace kivo
