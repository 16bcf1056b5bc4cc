// Transforms one wrench through the installed or embedded library and checks the result: a unit
// force along x measured 0.1 m ahead of the moving frame's origin, the moving frame at (1, 2, 3)
// turned a quarter turn about z, reported about the fixed origin in axes turned a quarter turn
// about x. Quaternions are [w, x, y, z]; prints "ok" and exits with 0 when the result matches.

#include <kivo_tf_wrench.hpp>

#include <array>
#include <cmath>
#include <cstdio>

int main() {
  const double h = std::sqrt(0.5);
  kivo::KivoTfConfig config;
  config.input_ref_point = {"moving_frame", {0.1, 0.0, 0.0}};
  config.input_expr_axes = {"moving_frame", {1.0, 0.0, 0.0, 0.0}};
  config.output_ref_point = {"fixed_frame", {0.0, 0.0, 0.0}};
  config.output_expr_axes = {"fixed_frame", {h, h, 0.0, 0.0}};
  kivo::KivoTfWrench wrench(config);
  wrench.setFixedToMovingFrameTf({1.0, 2.0, 3.0, h, 0.0, 0.0, h});

  const std::array<double, 6> wrench_in{1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  const std::array<double, 6> expected{0.0, 0.0, -1.0, -3.0, 1.0, 0.0};
  std::array<double, 6> wrench_out{};
  const kivo::KivoControlReturnCode code = wrench.update(wrench_in, wrench_out);

  bool matches = code == kivo::KivoControlReturnCode::Ok;
  std::printf("wrench_out:");
  for (std::size_t i = 0; i < wrench_out.size(); ++i) {
    std::printf(" %.6f", wrench_out[i]);
    matches = matches && std::fabs(wrench_out[i] - expected[i]) < 1e-12;
  }
  std::printf("\n%s\n", matches ? "ok" : "MISMATCH");
  return matches ? 0 : 1;
}
