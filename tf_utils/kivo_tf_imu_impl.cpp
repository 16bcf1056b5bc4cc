#include "kivo_tf_imu_impl.hpp"

namespace kivo {
namespace {

constexpr detail::BlockKind kImuKind{"KivoTfImu", "tf_imu_config"};

}  // namespace

KivoTfImu::KivoTfImuImpl::KivoTfImuImpl(const std::string& config_file)
    : MovingFrameBlock(kImuKind, config_file) {}

KivoTfImu::KivoTfImuImpl::KivoTfImuImpl(const KivoTfConfig& config)
    : MovingFrameBlock(kImuKind, config) {}

KivoControlReturnCode KivoTfImu::KivoTfImuImpl::update(const detail::Signal6& imu_in,
                                                       detail::Signal6& imu_out) const {
  using namespace detail;
  // The angular rate is free; the acceleration of a body point p_o gains the centripetal term
  // only: a_o = a_i + ω × (ω × (p_o − p_i)). No angular acceleration is known, so no α × r term,
  // and no state is kept between cycles.
  return transformPair(imu_in, imu_out,
                       [](const Vec3& p_i_F, const Vec3& p_o_F, Vec3& a_F, const Vec3& omega_F) {
                         a_F = add(a_F, cross(omega_F, cross(omega_F, subtract(p_o_F, p_i_F))));
                       });
}

}  // namespace kivo
