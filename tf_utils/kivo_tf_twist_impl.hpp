#pragma once

#include <string>

#include "block_frame.hpp"
#include "kivo_tf_twist.hpp"

namespace kivo {

// Internal to the library: hidden, so that the handle reaches it with a direct call.
class KIVO_TF_UTILS_NO_EXPORT KivoTfTwist::KivoTfTwistImpl : public detail::MovingFrameBlock {
 public:
  explicit KivoTfTwistImpl(const std::string& config_file);
  explicit KivoTfTwistImpl(const KivoTfConfig& config);

  // [vx, vy, vz, wx, wy, wz] in m/s and rad/s: the linear velocity of the reference point, and
  // the body's angular velocity, both expressed in the expression axes.
  KivoControlReturnCode update(const detail::Signal6& twist_in, detail::Signal6& twist_out) const;
};

}  // namespace kivo
