#include "kivo_tf_twist.hpp"

#include <memory>

#include "kivo_tf_twist_impl.hpp"

namespace kivo {

KivoTfTwist::KivoTfTwist(const std::string& config_file)
    : impl_(std::make_unique<KivoTfTwistImpl>(config_file)) {}

KivoTfTwist::KivoTfTwist(const KivoTfConfig& config)
    : impl_(std::make_unique<KivoTfTwistImpl>(config)) {}

KivoTfTwist::~KivoTfTwist() = default;

const std::string& KivoTfTwist::name() const { return impl_->name(); }

bool KivoTfTwist::setInputReferencePoint(const std::string& origin,
                                        const std::array<double, 3>& translation) {
  return impl_->setInputReferencePoint(origin, translation);
}

bool KivoTfTwist::setInputExpressionAxes(const std::string& origin,
                                        const std::array<double, 4>& rotation) {
  return impl_->setInputExpressionAxes(origin, rotation);
}

bool KivoTfTwist::setOutputReferencePoint(const std::string& origin,
                                         const std::array<double, 3>& translation) {
  return impl_->setOutputReferencePoint(origin, translation);
}

bool KivoTfTwist::setOutputExpressionAxes(const std::string& origin,
                                         const std::array<double, 4>& rotation) {
  return impl_->setOutputExpressionAxes(origin, rotation);
}

void KivoTfTwist::setFixedToMovingFrameTf(const std::array<double, 7>& tf) {
  impl_->setFixedToMovingFrameTf(tf);
}

KivoControlReturnCode KivoTfTwist::update(const std::array<double, 6>& twist_in,
                                        std::array<double, 6>& twist_out) {
  return impl_->update(twist_in, twist_out);
}

}  // namespace kivo
