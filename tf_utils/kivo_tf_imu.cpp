#include "kivo_tf_imu.hpp"

#include <memory>

#include "kivo_tf_imu_impl.hpp"

namespace kivo {

KivoTfImu::KivoTfImu(const std::string& config_file)
    : impl_(std::make_unique<KivoTfImuImpl>(config_file)) {}

KivoTfImu::KivoTfImu(const KivoTfConfig& config)
    : impl_(std::make_unique<KivoTfImuImpl>(config)) {}

KivoTfImu::~KivoTfImu() = default;

const std::string& KivoTfImu::name() const { return impl_->name(); }

bool KivoTfImu::setInputReferencePoint(const std::string& origin,
                                        const std::array<double, 3>& translation) {
  return impl_->setInputReferencePoint(origin, translation);
}

bool KivoTfImu::setInputExpressionAxes(const std::string& origin,
                                        const std::array<double, 4>& rotation) {
  return impl_->setInputExpressionAxes(origin, rotation);
}

bool KivoTfImu::setOutputReferencePoint(const std::string& origin,
                                         const std::array<double, 3>& translation) {
  return impl_->setOutputReferencePoint(origin, translation);
}

bool KivoTfImu::setOutputExpressionAxes(const std::string& origin,
                                         const std::array<double, 4>& rotation) {
  return impl_->setOutputExpressionAxes(origin, rotation);
}

void KivoTfImu::setFixedToMovingFrameTf(const std::array<double, 7>& tf) {
  impl_->setFixedToMovingFrameTf(tf);
}

KivoControlReturnCode KivoTfImu::update(const std::array<double, 6>& imu_in,
                                        std::array<double, 6>& imu_out) {
  return impl_->update(imu_in, imu_out);
}

}  // namespace kivo
