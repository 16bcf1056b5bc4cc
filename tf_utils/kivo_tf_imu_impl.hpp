#pragma once

#include <string>

#include "block_frame.hpp"
#include "kivo_tf_imu.hpp"

namespace kivo {

// Internal to the library: hidden, so that the handle reaches it with a direct call.
class KIVO_TF_UTILS_NO_EXPORT KivoTfImu::KivoTfImuImpl : public detail::MovingFrameBlock {
 public:
  explicit KivoTfImuImpl(const std::string& config_file);
  explicit KivoTfImuImpl(const KivoTfConfig& config);

  // [ax, ay, az, wx, wy, wz] in m/s² and rad/s: the linear acceleration of the reference point,
  // and the body's angular rate, both expressed in the expression axes.
  KivoControlReturnCode update(const detail::Signal6& imu_in, detail::Signal6& imu_out) const;
};

}  // namespace kivo
