// Runs a few control cycles of each transform block on the example configuration and prints
// inputs and outputs per cycle. Usage: kivo_tf_demo [config.json]

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include <kivo_tf_imu.hpp>
#include <kivo_tf_pose.hpp>
#include <kivo_tf_twist.hpp>
#include <kivo_tf_wrench.hpp>

namespace {

constexpr int kCycles = 4;
constexpr double kPi = 3.14159265358979323846;

// Pose of the moving frame in cycle k: [x, y, z, qw, qx, qy, qz]. It starts at `t0` turned a
// quarter turn about z and keeps turning about z by 0.1 rad a cycle while drifting along x.
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

template <std::size_t N>
void printArray(const std::array<double, N>& values) {
  std::printf(" [");
  for (std::size_t i = 0; i < N; ++i) {
    // Rounding residue such as -1e-17 is shown as 0.000 rather than -0.000.
    const double shown = std::abs(values[i]) < 5e-4 ? 0.0 : values[i];
    std::printf("%s%7.3f", i == 0 ? "" : " ", shown);
  }
  std::printf("]");
}

template <std::size_t N>
void printRow(int k, const std::array<double, 7>* tf, const std::array<double, N>& in,
              kivo::KivoControlReturnCode code, const std::array<double, N>& out) {
  std::printf("%5d ", k);
  if (tf != nullptr) printArray(*tf);
  printArray(in);
  std::printf(" %-8s", codeName(code));
  printArray(out);
  std::printf("\n");
}

// Left-aligns `text` in `columns` characters; printf pads by bytes, and "·" or "²" take two.
void printPadded(const char* text, int columns) {
  int width = columns;
  for (const char* c = text; *c != '\0'; ++c) {
    if ((static_cast<unsigned char>(*c) & 0xC0) == 0x80) ++width;  // UTF-8 continuation byte
  }
  std::printf("%-*s", width, text);
}

// Column widths match printArray: 8 characters per value plus the brackets.
void printHeading(const char* block, const std::string& name, const char* tf_label,
                  const char* in_label, const char* out_label, int values) {
  std::printf("\n%s \"%s\"\ncycle ", block, name.c_str());
  if (tf_label != nullptr) printPadded(tf_label, 58);
  printPadded(in_label, 8 * values + 2);
  std::printf(" %-8s %s\n", "return", out_label);
}

// Wrench, twist and IMU: the caller keeps the moving frame's pose current every cycle.
template <class Block>
void runMovingFrameBlock(const std::string& config_file, const char* block_name,
                         const char* in_label, const char* out_label,
                         const std::array<double, 3>& t0,
                         std::array<double, 6> signal_in, const std::array<double, 6>& step) {
  Block block(config_file);
  printHeading(block_name, block.name(), " moving frame [x y z qw qx qy qz]", in_label, out_label,
               6);
  for (int k = 0; k < kCycles; ++k) {
    const std::array<double, 7> tf = movingFramePose(t0, k);
    block.setFixedToMovingFrameTf(tf);
    std::array<double, 6> signal_out{};
    const kivo::KivoControlReturnCode code = block.update(signal_in, signal_out);
    printRow(k, &tf, signal_in, code, signal_out);
    for (std::size_t i = 0; i < signal_in.size(); ++i) signal_in[i] += step[i];
  }
}

void runPose(const std::string& config_file) {
  kivo::KivoTfPose block(config_file);
  printHeading("KivoTfPose", block.name(), nullptr, " pose_in [px py pz qw qx qy qz]",
               "pose_out", 7);
  for (int k = 0; k < kCycles; ++k) {
    // The body moves along x and turns about z; the pose block derives the moving frame from it.
    const double yaw = kPi / 2.0 + 0.1 * k;
    const std::array<double, 7> pose_in{1.0 + 0.1 * k, 0.0, 0.0, std::cos(yaw / 2.0),
                                        0.0, 0.0, std::sin(yaw / 2.0)};
    std::array<double, 7> pose_out{};
    const kivo::KivoControlReturnCode code = block.update(pose_in, pose_out);
    printRow(k, nullptr, pose_in, code, pose_out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config_file = argc > 1 ? argv[1] : "examples/kivo_tf_config.json";
  std::printf("Example configuration: %s\n", config_file.c_str());
  runMovingFrameBlock<kivo::KivoTfWrench>(config_file, "KivoTfWrench",
                                          " wrench_in [fx fy fz tx ty tz] (N, N·m)",
                                          "wrench_out", {1.0, 2.0, 3.0},
                                          {1.0, 0.0, 0.0, 0.0, 0.0, 0.0},
                                          {0.0, 0.5, 0.0, 0.0, 0.0, 0.1});
  runMovingFrameBlock<kivo::KivoTfTwist>(config_file, "KivoTfTwist",
                                         " twist_in [vx vy vz wx wy wz] (m/s, rad/s)",
                                         "twist_out", {1.0, 2.0, 3.0},
                                         {0.0, 0.0, 0.0, 0.0, 0.0, 1.0},
                                         {0.1, 0.0, 0.0, 0.0, 0.0, 0.5});
  runPose(config_file);
  runMovingFrameBlock<kivo::KivoTfImu>(config_file, "KivoTfImu",
                                       " imu_in [ax ay az wx wy wz] (m/s², rad/s)", "imu_out",
                                       {0.0, 0.0, 0.0}, {0.0, 0.0, 9.81, 0.0, 0.0, 2.0},
                                       {0.0, 0.0, 0.0, 0.0, 0.0, 0.5});
  return 0;
}
