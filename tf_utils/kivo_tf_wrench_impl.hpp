#pragma once

#include <string>

#include "block_frame.hpp"
#include "kivo_tf_wrench.hpp"

namespace kivo {

// Internal to the library: hidden, so that the handle reaches it with a direct call.
class KIVO_TF_UTILS_NO_EXPORT KivoTfWrench::KivoTfWrenchImpl : public detail::MovingFrameBlock {
 public:
  explicit KivoTfWrenchImpl(const std::string& config_file);
  explicit KivoTfWrenchImpl(const KivoTfConfig& config);

  // [fx, fy, fz, tx, ty, tz] in N and N·m: the force, and the moment about the reference point,
  // both expressed in the expression axes.
  KivoControlReturnCode update(const detail::Signal6& wrench_in, detail::Signal6& wrench_out) const;
};

}  // namespace kivo
