#include "kivo_tf_pose.hpp"

#include <memory>

#include "kivo_tf_pose_impl.hpp"

namespace kivo {

KivoTfPose::KivoTfPose(const std::string& config_file)
    : impl_(std::make_unique<KivoTfPoseImpl>(config_file)) {}

KivoTfPose::KivoTfPose(const KivoTfConfig& config)
    : impl_(std::make_unique<KivoTfPoseImpl>(config)) {}

KivoTfPose::~KivoTfPose() = default;

const std::string& KivoTfPose::name() const { return impl_->name(); }

bool KivoTfPose::setInputReferencePoint(const std::string& origin,
                                        const std::array<double, 3>& translation) {
  return impl_->setInputReferencePoint(origin, translation);
}

bool KivoTfPose::setInputExpressionAxes(const std::string& origin,
                                        const std::array<double, 4>& rotation) {
  return impl_->setInputExpressionAxes(origin, rotation);
}

bool KivoTfPose::setOutputReferencePoint(const std::string& origin,
                                         const std::array<double, 3>& translation) {
  return impl_->setOutputReferencePoint(origin, translation);
}

bool KivoTfPose::setOutputExpressionAxes(const std::string& origin,
                                         const std::array<double, 4>& rotation) {
  return impl_->setOutputExpressionAxes(origin, rotation);
}

KivoControlReturnCode KivoTfPose::update(const std::array<double, 7>& pose_in,
                                        std::array<double, 7>& pose_out) {
  return impl_->update(pose_in, pose_out);
}

}  // namespace kivo
