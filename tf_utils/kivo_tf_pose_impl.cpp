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
    const CycleEntries& e = entries();
    const Vec3 p{pose_in[0], pose_in[1], pose_in[2]};
    const Quat q{pose_in[3], pose_in[4], pose_in[5], pose_in[6]};
    const Quat& q_in = e.q_i;

    const Quat q_M = normalized(multiply(q_in, q));
    const Vec3 p_F = rotate(q_in, p);
    // A fixed-frame input point is an offset in F axes; a moving-frame one turns with the body.
    Vec3 p_i_F = e.p_i;
    if (e.moving.input_ref_point) p_i_F = rotate(q_M, e.p_i);
    const Vec3 t_M = subtract(p_F, p_i_F);

    Vec3 p_o_F = e.p_o;
    if (e.moving.output_ref_point) p_o_F = pointInFixedFrame(t_M, q_M, e.p_o);
    Quat q_o_F = e.q_o;
    if (e.moving.output_expr_axes) q_o_F = normalized(axesInFixedFrame(q_M, e.q_o));

    const Quat q_o_F_conj = conjugate(q_o_F);
    const Vec3 p_out = rotate(q_o_F_conj, p_o_F);
    const Quat q_out = multiply(q_o_F_conj, q_M);
    pose_out = {p_out[0], p_out[1], p_out[2], q_out[0], q_out[1], q_out[2], q_out[3]};
  });
}

}  // namespace kivo
