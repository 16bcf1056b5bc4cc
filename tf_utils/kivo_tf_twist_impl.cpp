#include "kivo_tf_twist_impl.hpp"

namespace kivo {
namespace {

constexpr detail::BlockKind kTwistKind{"KivoTfTwist", "tf_twist_config"};

}  // namespace

KivoTfTwist::KivoTfTwistImpl::KivoTfTwistImpl(const std::string& config_file)
    : MovingFrameBlock(kTwistKind, config_file) {}

KivoTfTwist::KivoTfTwistImpl::KivoTfTwistImpl(const KivoTfConfig& config)
    : MovingFrameBlock(kTwistKind, config) {}

KivoControlReturnCode KivoTfTwist::KivoTfTwistImpl::update(const detail::Signal6& twist_in,
                                                           detail::Signal6& twist_out) const {
  using namespace detail;
  // The angular velocity is free; the velocity of a body point p_o follows from that of p_i:
  // v_o = v_i + ω × (p_o − p_i).
  return transformPair(twist_in, twist_out,
                       [](const Vec3& p_i_F, const Vec3& p_o_F, Vec3& v_F, const Vec3& omega_F) {
                         v_F = add(v_F, cross(omega_F, subtract(p_o_F, p_i_F)));
                       });
}

}  // namespace kivo
