// Runs a few control cycles of each transform block on the example configuration and prints, per
// block, its configured entries and then the inputs and outputs of each cycle. Cycle 0 of the
// wrench, twist and IMU blocks comes before the first fixed-to-moving-frame transform and shows the
// block's refusal; cycle 1 (cycle 0 for the pose block) is the block's worked example in
// docs/frames.md. Usage: kivo_tf_demo [config.json]

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include <config.hpp>
#include <kivo_tf_imu.hpp>
#include <kivo_tf_pose.hpp>
#include <kivo_tf_twist.hpp>
#include <kivo_tf_wrench.hpp>

namespace {

constexpr int kCycles = 5;
constexpr double kPi = 3.14159265358979323846;

// Pose of the moving frame in the fixed frame in its k-th cycle: [x, y, z, qw, qx, qy, qz]. It
// starts at `t0` turned a quarter turn about z and keeps turning about z by 0.1 rad a cycle while
// drifting along x.
std::array<double, 7> movingFramePose(const std::array<double, 3>& t0, int k) {
  const double yaw = kPi / 2.0 + 0.1 * k;
  return {t0[0] + 0.01 * k, t0[1], t0[2], std::cos(yaw / 2.0), 0.0, 0.0, std::sin(yaw / 2.0)};
}

const char* codeName(kivo::KivoControlReturnCode code) {
  switch (code) {
    case kivo::KivoControlReturnCode::Ok: return "Ok";
    case kivo::KivoControlReturnCode::NotReady: return "NotReady";
    case kivo::KivoControlReturnCode::Error: return "Error";
  }
  return "?";
}

const char* policyName(kivo::KivoControlBlockPolicy policy) {
  switch (policy) {
    case kivo::KivoControlBlockPolicy::BestEffort: return "best_effort";
    case kivo::KivoControlBlockPolicy::SoftRt: return "soft_rt";
    case kivo::KivoControlBlockPolicy::HardRt: return "hard_rt";
    case kivo::KivoControlBlockPolicy::StrictRt: return "strict_rt";
  }
  return "?";
}

template <std::size_t N>
void printArray(const std::array<double, N>& values) {
  std::printf("[");
  for (std::size_t i = 0; i < N; ++i) {
    // Rounding residue such as -1e-17 is shown as 0.000 rather than -0.000.
    const double shown = std::abs(values[i]) < 5e-4 ? 0.0 : values[i];
    std::printf("%s%7.3f", i == 0 ? "" : " ", shown);
  }
  std::printf("]");
}

// The block's name and policy and its four entries as the file configures them: origin and values.
void printEntries(const char* block, const std::string& config_file, const char* section) {
  const kivo::KivoTfConfigInternal config = kivo::loadTfConfigFromFile(config_file, section);
  std::printf("\n%s \"%s\", policy %s\n", block, config.name.c_str(), policyName(config.policy));
  // One entry: its origin, then its values and their unit, or "unset".
  const auto entry_line = [](const char* label, bool is_set, const std::string& origin,
                             const auto& values, const char* unit) {
    std::printf("  %-23s%-13s ", label, is_set ? origin.c_str() : "unset");
    if (is_set) {
      printArray(values);
      std::printf(" %s", unit);
    }
    std::printf("\n");
  };
  const auto& in_ref = config.input_ref_point;
  const auto& in_axes = config.input_expr_axes;
  const auto& out_ref = config.output_ref_point;
  const auto& out_axes = config.output_expr_axes;
  entry_line("input reference point", in_ref.is_set, in_ref.origin, in_ref.translation, "m");
  entry_line("input expression axes", in_axes.is_set, in_axes.origin, in_axes.rotation,
             "[w x y z]");
  entry_line("output reference point", out_ref.is_set, out_ref.origin, out_ref.translation, "m");
  entry_line("output expression axes", out_axes.is_set, out_axes.origin, out_axes.rotation,
             "[w x y z]");
}

// The result of one update: the output when it is Ok; otherwise the code alone, since a refusing
// block leaves the output array as it was and writes its reason to the standard error stream.
template <std::size_t N>
void printResult(kivo::KivoControlReturnCode code, const std::array<double, N>& out) {
  std::printf("       out ");
  if (code == kivo::KivoControlReturnCode::Ok) {
    printArray(out);
    std::printf("  Ok\n");
  } else {
    std::printf("%s: not written (the block's reason is the stderr line above)\n",
                codeName(code));
  }
}

// Wrench, twist and IMU: the caller gives the moving frame's pose every cycle, from cycle 1 on.
template <class Block>
void runMovingFrameBlock(const std::string& config_file, const char* block_name,
                         const char* section, const char* signal_label,
                         const std::array<double, 3>& t0, std::array<double, 6> signal_in,
                         const std::array<double, 6>& step) {
  printEntries(block_name, config_file, section);
  Block block(config_file);
  std::printf("cycle      tf: moving frame [x y z qw qx qy qz] (m); %s\n", signal_label);
  for (int k = 0; k < kCycles; ++k) {
    std::printf("%5d  tf  ", k);
    if (k == 0) {
      std::printf("not given yet\n");
    } else {
      const std::array<double, 7> tf = movingFramePose(t0, k - 1);
      block.setFixedToMovingFrameTf(tf);
      printArray(tf);
      std::printf("\n");
    }
    std::printf("       in  ");
    printArray(signal_in);
    std::printf("\n");
    std::fflush(stdout);  // keeps a refusal's stderr line in its place in the table
    std::array<double, 6> signal_out{};
    const kivo::KivoControlReturnCode code = block.update(signal_in, signal_out);
    printResult(code, signal_out);
    if (k > 0) {
      for (std::size_t i = 0; i < signal_in.size(); ++i) signal_in[i] += step[i];
    }
  }
}

void runPose(const std::string& config_file) {
  printEntries("KivoTfPose", config_file, "tf_pose_config");
  kivo::KivoTfPose block(config_file);
  std::printf(
      "  No refusal to show: the pose block takes its moving frame from each input pose and needs\n"
      "  no transform; it refuses only unset entries and input expression axes in moving_frame.\n");
  std::printf("cycle      pose [px py pz qw qx qy qz] (m)\n");
  for (int k = 0; k < kCycles - 1; ++k) {
    // The body moves along x and turns about z; the pose block derives the moving frame from it.
    const double yaw = kPi / 2.0 + 0.1 * k;
    const std::array<double, 7> pose_in{1.0 + 0.1 * k, 0.0, 0.0, std::cos(yaw / 2.0),
                                        0.0, 0.0, std::sin(yaw / 2.0)};
    std::printf("%5d  in  ", k);
    printArray(pose_in);
    std::printf("\n");
    std::fflush(stdout);
    std::array<double, 7> pose_out{};
    const kivo::KivoControlReturnCode code = block.update(pose_in, pose_out);
    printResult(code, pose_out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config_file = argc > 1 ? argv[1] : "examples/kivo_tf_config.json";
  std::printf("Example configuration: %s\n", config_file.c_str());
  runMovingFrameBlock<kivo::KivoTfWrench>(config_file, "KivoTfWrench", "tf_wrench_config",
                                          "wrench [fx fy fz tx ty tz] (N, N·m)",
                                          {1.0, 2.0, 3.0}, {1.0, 0.0, 0.0, 0.0, 0.0, 0.0},
                                          {0.0, 0.5, 0.0, 0.0, 0.0, 0.1});
  runMovingFrameBlock<kivo::KivoTfTwist>(config_file, "KivoTfTwist", "tf_twist_config",
                                         "twist [vx vy vz wx wy wz] (m/s, rad/s)",
                                         {1.0, 2.0, 3.0}, {0.0, 0.0, 0.0, 0.0, 0.0, 1.0},
                                         {0.1, 0.0, 0.0, 0.0, 0.0, 0.5});
  runPose(config_file);
  runMovingFrameBlock<kivo::KivoTfImu>(config_file, "KivoTfImu", "tf_imu_config",
                                       "imu [ax ay az wx wy wz] (m/s², rad/s)", {0.0, 0.0, 0.0},
                                       {0.0, 0.0, 9.81, 0.0, 0.0, 2.0},
                                       {0.0, 0.0, 0.0, 0.0, 0.0, 0.5});
  return 0;
}
