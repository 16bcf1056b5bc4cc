// Time of one `update` per block on its success path, with reference points and output axes in
// the moving frame (the pose block's moving frame is the body itself).
// Quaternions are [w, x, y, z]; the transform is [x, y, z, qw, qx, qy, qz] of M in F.

#include <benchmark/benchmark.h>

#include <array>
#include <type_traits>

#include "kivo_tf_imu.hpp"
#include "kivo_tf_pose.hpp"
#include "kivo_tf_twist.hpp"
#include "kivo_tf_wrench.hpp"

namespace {

constexpr double kH = 0.70710678118654752440;  // √½

template <class Block, std::size_t N>
void BM_Update(benchmark::State& state) {
  kivo::KivoTfConfig config;
  config.input_ref_point = {"moving_frame", {0.1, -0.2, 0.3}};
  config.input_expr_axes = {"fixed_frame", {0.5, 0.5, -0.5, 0.5}};
  config.output_ref_point = {"moving_frame", {0.0, 0.0, 1.0}};
  config.output_expr_axes = {"moving_frame", {kH, kH, 0.0, 0.0}};
  Block block(config);
  if constexpr (!std::is_same_v<Block, kivo::KivoTfPose>) {
    block.setFixedToMovingFrameTf({1.0, -2.0, 0.5, 0.5, -0.5, 0.5, 0.5});
  }
  std::array<double, N> signal_in{0.3, -1.2, 2.5, 0.6, -0.4, 0.9};
  if constexpr (N == 7) signal_in[6] = 0.2;
  std::array<double, N> signal_out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(signal_in);
    benchmark::DoNotOptimize(block.update(signal_in, signal_out));
    benchmark::ClobberMemory();
  }
  if (block.update(signal_in, signal_out) != kivo::KivoControlReturnCode::Ok) state.SkipWithError("update refused");
}

BENCHMARK_TEMPLATE(BM_Update, kivo::KivoTfWrench, 6);
BENCHMARK_TEMPLATE(BM_Update, kivo::KivoTfTwist, 6);
BENCHMARK_TEMPLATE(BM_Update, kivo::KivoTfPose, 7);
BENCHMARK_TEMPLATE(BM_Update, kivo::KivoTfImu, 6);

}  // namespace
