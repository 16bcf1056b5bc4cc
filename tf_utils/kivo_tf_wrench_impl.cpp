#include "kivo_tf_wrench_impl.hpp"

namespace kivo {
namespace {

constexpr detail::BlockKind kWrenchKind{"KivoTfWrench", "tf_wrench_config"};

}  // namespace

KivoTfWrench::KivoTfWrenchImpl::KivoTfWrenchImpl(const std::string& config_file)
    : MovingFrameBlock(kWrenchKind, config_file) {}

KivoTfWrench::KivoTfWrenchImpl::KivoTfWrenchImpl(const KivoTfConfig& config)
    : MovingFrameBlock(kWrenchKind, config) {}

KivoControlReturnCode KivoTfWrench::KivoTfWrenchImpl::update(const detail::Signal6& wrench_in,
                                                             detail::Signal6& wrench_out) const {
  using namespace detail;
  // The force is free; the moment moves from p_i to p_o: τ_o = τ_i + (p_i − p_o) × f.
  return transformPair(wrench_in, wrench_out,
                       [](const Vec3& p_i_F, const Vec3& p_o_F, const Vec3& f_F, Vec3& tau_F) {
                         tau_F = add(tau_F, cross(subtract(p_i_F, p_o_F), f_F));
                       });
}

}  // namespace kivo
