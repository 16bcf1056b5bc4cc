#pragma once

#include <string>

#include "block_frame.hpp"
#include "kivo_tf_pose.hpp"

namespace kivo {

// Internal to the library: hidden, so that the handle reaches it with a direct call.
class KIVO_TF_UTILS_NO_EXPORT KivoTfPose::KivoTfPoseImpl : public detail::BlockFrame {
 public:
  explicit KivoTfPoseImpl(const std::string& config_file);
  explicit KivoTfPoseImpl(const KivoTfConfig& config);

  // [px, py, pz, qw, qx, qy, qz]: the position of the reference point in metres and the body's
  // orientation, both relative to the expression axes.
  KivoControlReturnCode update(const detail::Signal7& pose_in, detail::Signal7& pose_out) const;
};

}  // namespace kivo
