#include "kivo_tf_wrench.hpp"

#include <memory>

#include "kivo_tf_wrench_impl.hpp"

namespace kivo {

KivoTfWrench::KivoTfWrench(const std::string& config_file)
    : impl_(std::make_unique<KivoTfWrenchImpl>(config_file)) {}

KivoTfWrench::KivoTfWrench(const KivoTfConfig& config)
    : impl_(std::make_unique<KivoTfWrenchImpl>(config)) {}

KivoTfWrench::~KivoTfWrench() = default;

const std::string& KivoTfWrench::name() const { return impl_->name(); }

bool KivoTfWrench::setInputReferencePoint(const std::string& origin,
                                        const std::array<double, 3>& translation) {
  return impl_->setInputReferencePoint(origin, translation);
}

bool KivoTfWrench::setInputExpressionAxes(const std::string& origin,
                                        const std::array<double, 4>& rotation) {
  return impl_->setInputExpressionAxes(origin, rotation);
}

bool KivoTfWrench::setOutputReferencePoint(const std::string& origin,
                                         const std::array<double, 3>& translation) {
  return impl_->setOutputReferencePoint(origin, translation);
}

bool KivoTfWrench::setOutputExpressionAxes(const std::string& origin,
                                         const std::array<double, 4>& rotation) {
  return impl_->setOutputExpressionAxes(origin, rotation);
}

void KivoTfWrench::setFixedToMovingFrameTf(const std::array<double, 7>& tf) {
  impl_->setFixedToMovingFrameTf(tf);
}

KivoControlReturnCode KivoTfWrench::update(const std::array<double, 6>& wrench_in,
                                        std::array<double, 6>& wrench_out) {
  return impl_->update(wrench_in, wrench_out);
}

}  // namespace kivo
