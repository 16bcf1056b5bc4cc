#pragma once

// Helpers shared by the transform-library tests. Conventions: translations [x, y, z] in metres,
// quaternions [w, x, y, z]; a fixed-to-moving-frame transform is [x, y, z, qw, qx, qy, qz], the
// pose of the moving frame M in the fixed frame F.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "kivo_tf_imu.hpp"
#include "kivo_tf_pose.hpp"
#include "kivo_tf_twist.hpp"
#include "kivo_tf_wrench.hpp"

namespace kivo_test {

using Policy = kivo::KivoControlBlockPolicy;
using Code = kivo::KivoControlReturnCode;
using FrameTf = std::array<double, 7>;

inline constexpr double kH = 0.70710678118654752440;  // √½
inline constexpr FrameTf kIdentityTf{0, 0, 0, 1, 0, 0, 0};
inline constexpr FrameTf kSomeTf{1, -2, 0.5, 0.5, -0.5, 0.5, 0.5};  // a turn that is no quarter turn

// What the shared-frame tests need to know of a block: signal array, message prefix, file section.
template <class B, std::size_t N>
struct BlockTraits { using Block = B; using Signal = std::array<double, N>; };
struct WrenchTraits : BlockTraits<kivo::KivoTfWrench, 6> { static constexpr const char *prefix = "KivoTfWrench", *section = "tf_wrench_config"; };
struct TwistTraits : BlockTraits<kivo::KivoTfTwist, 6> { static constexpr const char *prefix = "KivoTfTwist", *section = "tf_twist_config"; };
struct PoseTraits : BlockTraits<kivo::KivoTfPose, 7> { static constexpr const char *prefix = "KivoTfPose", *section = "tf_pose_config"; };
struct ImuTraits : BlockTraits<kivo::KivoTfImu, 6> { static constexpr const char *prefix = "KivoTfImu", *section = "tf_imu_config"; };
using AllBlocks = testing::Types<WrenchTraits, TwistTraits, PoseTraits, ImuTraits>;

// The pose block derives the moving frame from its own input and takes no transform.
template <class Block>
void setTfIfAny(Block& block, const FrameTf& tf) {
  if constexpr (!std::is_same_v<Block, kivo::KivoTfPose>) block.setFixedToMovingFrameTf(tf);
}

inline kivo::Translation fixedPoint(double x, double y, double z) { return {"fixed_frame", {x, y, z}}; }
inline kivo::Translation movingPoint(double x, double y, double z) { return {"moving_frame", {x, y, z}}; }
inline kivo::Rotation fixedAxes(double w = 1, double x = 0, double y = 0, double z = 0) { return {"fixed_frame", {w, x, y, z}}; }
inline kivo::Rotation movingAxes(double w = 1, double x = 0, double y = 0, double z = 0) { return {"moving_frame", {w, x, y, z}}; }

inline kivo::KivoTfConfig makeConfig(kivo::Translation in_ref, kivo::Rotation in_axes, kivo::Translation out_ref,
                                     kivo::Rotation out_axes, Policy policy = Policy::BestEffort) {
  return {"", policy, std::move(in_ref), std::move(in_axes), std::move(out_ref), std::move(out_axes)};
}

// Entries in both frames that every block accepts once it has a transform.
inline kivo::KivoTfConfig mixedConfig(Policy policy = Policy::BestEffort) {
  return makeConfig(movingPoint(0.1, -0.2, 0.3), fixedAxes(0.5, 0.5, -0.5, 0.5), movingPoint(0, 0, 1),
                    movingAxes(kH, kH, 0, 0), policy);
}

// A file in the temporary directory holding `text`, removed with the object.
struct TempJsonFile {
  explicit TempJsonFile(const std::string& text) {
    static int counter = 0;
    path = testing::TempDir() + "kivo_tf_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".json";
    std::ofstream(path, std::ios::binary) << text;
  }
  TempJsonFile(const TempJsonFile&) = delete;
  ~TempJsonFile() { std::remove(path.c_str()); }
  std::string path;
};

// Everything `action` writes to the standard error stream.
template <class F>
std::string stderrOf(F&& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

// The text of the std::runtime_error that `action` throws; any other exception fails the test.
template <class F>
std::string runtimeErrorOf(F&& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}

template <std::size_t N>
void expectNear(const std::array<double, N>& actual, const std::array<double, N>& expected, double tolerance = 1e-12) {
  for (std::size_t i = 0; i < N; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "element " << i;
}

}  // namespace kivo_test
