// Worked examples and edge cases of the four transforms, then physical invariants over random
// frames. Quaternions are [w, x, y, z] (Hamilton); R(q)·v takes coordinates in the q axes to
// coordinates in the reference axes and is applied unnormalised.

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "quaternion.hpp"
#include "test_support.hpp"

namespace kivo_test {
namespace {

using kivo::detail::conjugate;
using kivo::detail::cross;
using kivo::detail::multiply;
using kivo::detail::normalized;
using kivo::detail::Quat;
using kivo::detail::rotate;
using kivo::detail::Vec3;
using Signal6 = std::array<double, 6>;

Vec3 operator+(const Vec3& a, const Vec3& b) { return kivo::detail::add(a, b); }
Vec3 operator-(const Vec3& a, const Vec3& b) { return kivo::detail::subtract(a, b); }
Vec3 operator*(double s, const Vec3& a) { return kivo::detail::scale(s, a); }
Quat scaled(double s, const Quat& q) { return {s * q[0], s * q[1], s * q[2], s * q[3]}; }
// Rotation by |omega|·time about the direction of omega.
Quat spin(const Vec3& omega, double time) {
  const double rate = std::sqrt(omega[0] * omega[0] + omega[1] * omega[1] + omega[2] * omega[2]);
  const double half_angle = 0.5 * rate * time, s = std::sin(half_angle) / rate;
  return {std::cos(half_angle), s * omega[0], s * omega[1], s * omega[2]};
}
template <std::size_t N>
std::array<double, N> join(const Vec3& a, const std::array<double, N - 3>& b) {
  std::array<double, N> joined{};
  for (std::size_t i = 0; i < N; ++i) joined[i] = i < 3 ? a[i] : b[i - 3];
  return joined;
}

struct RandomFrames {
  std::mt19937 generator;
  double uniform(double bound) { return std::uniform_real_distribution<double>(-bound, bound)(generator); }
  Vec3 vec(double bound = 1.0) { return {uniform(bound), uniform(bound), uniform(bound)}; }
  Quat unitQuat() {
    std::normal_distribution<double> normal;
    return normalized({normal(generator), normal(generator), normal(generator), normal(generator)});
  }
  Signal6 signal() { return join<6>(vec(5), vec(5)); }
  FrameTf tf() { return join<7>(vec(2), unitQuat()); }
};

// Identity axes unless given; reference points first, as most cases vary only those.
kivo::KivoTfConfig cfg(kivo::Translation in_ref, kivo::Translation out_ref, kivo::Rotation in_axes = fixedAxes(), kivo::Rotation out_axes = fixedAxes()) {
  return makeConfig(in_ref, in_axes, out_ref, out_axes);
}

template <std::size_t N>
struct Case {
  const char* label;
  kivo::KivoTfConfig config;
  std::array<double, N> signal_in, expected;
  FrameTf tf = kIdentityTf;
};

template <class Block, std::size_t N>
void runCases(const std::vector<Case<N>>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Block block(c.config);
    setTfIfAny(block, c.tf);
    std::array<double, N> signal_out{};
    ASSERT_EQ(block.update(c.signal_in, signal_out), Code::Ok);
    expectNear(signal_out, c.expected);
  }
}

const kivo::Translation kOrigin = fixedPoint(0, 0, 0);
// A sensor 0.1 m along x of M; M displaced by (1, 2, 3) and turned a quarter turn about z.
constexpr FrameTf kShiftedQuarterZ{1, 2, 3, kH, 0, 0, kH};
kivo::KivoTfConfig sensorToBase(kivo::Rotation out_axes) {
  return makeConfig(movingPoint(0.1, 0, 0), movingAxes(), kOrigin, std::move(out_axes));
}

TEST(WrenchTransform, WorkedExamplesAndEdgeCases) {
  runCases<kivo::KivoTfWrench, 6>({
      {"worked example", sensorToBase(fixedAxes(kH, kH, 0, 0)), {1, 0, 0, 0, 0, 0}, {0, 0, -1, -3, 1, 0}, kShiftedQuarterZ},
      {"worked example, identity output axes", sensorToBase(fixedAxes()), {1, 0, 0, 0, 0, 0}, {0, 1, 0, -3, 0, 1}, kShiftedQuarterZ},
      {"identity frames", cfg(kOrigin, kOrigin), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {"moment moves to the output point", cfg(kOrigin, fixedPoint(0, 0, 1)), {1, 0, 0, 0, 0, 0}, {1, 0, 0, 0, -1, 0}},
      {"pure moment is not transported", cfg(fixedPoint(1, 2, 3), fixedPoint(-4, 5, 0.5)), {0, 0, 0, 1, 2, 3}, {0, 0, 0, 1, 2, 3}},
      {"axes [0,0,0,2] rotate unnormalised", cfg(kOrigin, kOrigin, fixedAxes(0, 0, 0, 2)), {1, 0, 0, 0, 0, 0}, {-7, 0, 0, 0, 0, 0}},
      {"axes [2,0,0,0] act as identity", cfg(kOrigin, kOrigin, fixedAxes(2, 0, 0, 0)), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {"equal moving points cancel", cfg(movingPoint(0.3, -0.2, 0.5), movingPoint(0.3, -0.2, 0.5)), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, kSomeTf},
  });
}

TEST(TwistTransform, WorkedExamplesAndEdgeCases) {
  runCases<kivo::KivoTfTwist, 6>({
      {"worked example", sensorToBase(fixedAxes(kH, kH, 0, 0)), {0, 0, 0, 0, 0, 1}, {2.1, 0, 1, 0, 1, 0}, kShiftedQuarterZ},
      {"worked example, identity output axes", sensorToBase(fixedAxes()), {0, 0, 0, 0, 0, 1}, {2.1, -1, 0, 0, 0, 1}, kShiftedQuarterZ},
      {"identity frames", cfg(kOrigin, kOrigin), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {"rotation moves the output point", cfg(kOrigin, fixedPoint(1, 0, 0)), {0, 0, 0, 0, 0, 1}, {0, 1, 0, 0, 0, 1}},
      {"pure translation is not transported", cfg(kOrigin, fixedPoint(4, 5, 6)), {1, 2, 3, 0, 0, 0}, {1, 2, 3, 0, 0, 0}},
      {"axes [0,0,0,2] rotate unnormalised", cfg(kOrigin, kOrigin, fixedAxes(0, 0, 0, 2)), {1, 0, 0, 0, 0, 0}, {-7, 0, 0, 0, 0, 0}},
  });
}

TEST(ImuTransform, WorkedExampleAndEdgeCases) {
  const auto spin_arm = makeConfig(kOrigin, fixedAxes(), movingPoint(0.1, 0, 0), movingAxes());
  runCases<kivo::KivoTfImu, 6>({
      {"worked example", spin_arm, {0, 0, 9.81, 0, 0, 2}, {-0.4, 0, 9.81, 0, 0, 2}, {0, 0, 0, kH, 0, 0, kH}},
      {"identity frames", cfg(kOrigin, kOrigin), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
      {"centripetal towards the axis", cfg(kOrigin, fixedPoint(1, 0, 0)), {0, 0, 0, 0, 0, 1}, {-1, 0, 0, 0, 0, 1}},
      {"lever arm along the rate", cfg(kOrigin, fixedPoint(0, 0, 1)), {1, 2, 3, 0, 0, 5}, {1, 2, 3, 0, 0, 5}},
      {"zero rate", cfg(kOrigin, fixedPoint(4, 5, 6)), {1, 2, 3, 0, 0, 0}, {1, 2, 3, 0, 0, 0}},
      {"equal moving points cancel", cfg(movingPoint(0.3, -0.2, 0.5), movingPoint(0.3, -0.2, 0.5)), {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, kSomeTf},
      {"translation enters the lever arm", cfg(movingPoint(0.3, 0, 0), fixedPoint(0.3, 0, 0)), {1, 1, 1, 3, 4, 5}, {13.1, 18.8, -20.5, 3, 4, 5}, {5, 6, 7, kH, 0, 0, kH}},
      {"axes [0,0,0,2] rotate unnormalised", cfg(kOrigin, kOrigin, fixedAxes(0, 0, 0, 2)), {1, 0, 0, 0, 0, 0}, {-7, 0, 0, 0, 0, 0}},
  });
}

TEST(PoseTransform, WorkedExamplesAndEdgeCases) {
  const auto body_origin = movingPoint(0, 0, 0);
  runCases<kivo::KivoTfPose, 7>({
      {"worked example", makeConfig(fixedPoint(0, 0, 0.1), fixedAxes(kH, kH, 0, 0), movingPoint(0.5, 0, 0), fixedAxes(kH, 0, 0, kH)),
       {1, 0, 0, kH, 0, 0, kH}, {0, -1, 0.4, kH, 0, -kH, 0}},
      {"worked example, body input point and body output axes",
       makeConfig(movingPoint(0, 0, 0.1), fixedAxes(kH, kH, 0, 0), movingPoint(0.5, 0, 0), movingAxes(kH, 0, 0, kH)),
       {1, 0, 0, kH, 0, 0, kH}, {-1, -0.5, -0.1, kH, 0, 0, -kH}},
      {"fixed origin as output point", cfg(kOrigin, kOrigin), {1, 2, 3, 2, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0}},
      {"body origin as output point", cfg(kOrigin, body_origin), {1, 2, 3, 2, 0, 0, 0}, {1, 2, 3, 1, 0, 0, 0}},
      {"fixed output point ignores the input position", cfg(fixedPoint(3, 2, 1), fixedPoint(0, 0, 1)), {5, 6, 7, kH, 0, 0, kH}, {0, 0, 1, kH, 0, 0, kH}},
      {"fixed input offset", cfg(fixedPoint(0, 0, 0.1), body_origin), {1, 2, 3, 1, 0, 0, 0}, {1, 2, 2.9, 1, 0, 0, 0}},
      {"body points", cfg(movingPoint(0, 0, 0), movingPoint(0, 0, 1)), {1, 2, 3, kH, kH, 0, 0}, {1, 1, 3, kH, kH, 0, 0}},
      {"zero quaternion stays zero", cfg(kOrigin, body_origin), {1, 2, 3, 0, 0, 0, 0}, {1, 2, 3, 0, 0, 0, 0}},
      {"body output axes give the identity", cfg(kOrigin, kOrigin, fixedAxes(), movingAxes()), {1, 2, 3, 0.3, -0.5, 0.2, 0.7}, {0, 0, 0, 1, 0, 0, 0}},
      {"input axes [0,0,0,2] rotate p unnormalised", cfg(kOrigin, body_origin, fixedAxes(0, 0, 0, 2)), {1, 0, 0, 1, 0, 0, 0}, {-7, 0, 0, 0, 0, 0, 1}},
      {"output axes [2,0,0,0] are not normalised", cfg(kOrigin, body_origin, fixedAxes(), fixedAxes(2, 0, 0, 0)), {1, 2, 3, 1, 0, 0, 0}, {1, 2, 3, 2, 0, 0, 0}},
  });
}

// Entries alternate between the frames from trial to trial.
kivo::KivoTfConfig randomConfig(RandomFrames& random, bool moving_inputs) {
  const char* in_frame = moving_inputs ? "moving_frame" : "fixed_frame";
  const char* out_frame = moving_inputs ? "fixed_frame" : "moving_frame";
  return makeConfig({in_frame, random.vec()}, {out_frame, random.unitQuat()}, {out_frame, random.vec()},
                    {in_frame, random.unitQuat()});
}

template <class Block>
Signal6 transformed(const kivo::KivoTfConfig& config, const FrameTf& tf, const Signal6& signal_in) {
  Block block(config);
  block.setFixedToMovingFrameTf(tf);
  Signal6 signal_out{};
  EXPECT_EQ(block.update(signal_in, signal_out), Code::Ok);
  return signal_out;
}

// The power f·v + τ·ω of a wrench on a twist does not depend on reference point or axes, and the
// block with input and output entries swapped leads every signal back.
TEST(PhysicalInvariants, PowerIsKeptAndSwappedEntriesLeadBack) {
  RandomFrames random{std::mt19937(11)};
  for (int trial = 0; trial < 6; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const auto there = randomConfig(random, trial % 2 == 0);
    const auto back = makeConfig(there.output_ref_point, there.output_expr_axes, there.input_ref_point, there.input_expr_axes);
    const FrameTf tf = random.tf();
    const Signal6 wrench = random.signal(), twist = random.signal(), imu = random.signal();
    const Signal6 wrench_out = transformed<kivo::KivoTfWrench>(there, tf, wrench);
    const Signal6 twist_out = transformed<kivo::KivoTfTwist>(there, tf, twist);
    const auto power = [](const Signal6& w, const Signal6& t) { return std::inner_product(w.begin(), w.end(), t.begin(), 0.0); };
    EXPECT_NEAR(power(wrench, twist), power(wrench_out, twist_out), 1e-11);
    expectNear(transformed<kivo::KivoTfWrench>(back, tf, wrench_out), wrench, 1e-11);
    expectNear(transformed<kivo::KivoTfTwist>(back, tf, twist_out), twist, 1e-11);
    expectNear(transformed<kivo::KivoTfImu>(back, tf, transformed<kivo::KivoTfImu>(there, tf, imu)), imu, 1e-11);
  }
}

// A body M spins at the constant rate omega_F about an axis through c(t), which moves with the
// constant acceleration a0_F. Without angular acceleration every body point accelerates by a0_F
// plus the centripetal term alone. The IMU sits on the axis (input point and axes fixed to M); the
// output, a body point in fixed axes, must match the second difference of that point's position.
TEST(PhysicalInvariants, ImuMatchesSecondDifferenceOfASpinningBodyPoint) {
  RandomFrames random{std::mt19937(5)};
  for (int trial = 0; trial < 4; ++trial) {
    const Vec3 omega_F = random.vec(1.5), a0_F = random.vec(10.0), c0_F = random.vec(), t0_F = random.vec();
    const Quat q0_FM = random.unitQuat(), q_in = random.unitQuat(), q_out = random.unitQuat();
    const Vec3 p_out_M = random.vec(), c_M = rotate(conjugate(q0_FM), c0_F - t0_F);  // c_M: the axis point in M
    const auto q_FM = [&](double time) { return multiply(spin(omega_F, time), q0_FM); };
    const auto t_FM = [&](double time) { return c0_F + (0.5 * time * time) * a0_F + rotate(spin(omega_F, time), t0_F - c0_F); };
    const auto p_out_F = [&](double time) { return rotate(q_FM(time), p_out_M) + t_FM(time); };
    const double time = 0.37, step = 2e-4;
    const Quat q_sensor_F = conjugate(multiply(q_FM(time), q_in));
    const Signal6 imu_out = transformed<kivo::KivoTfImu>(
        makeConfig({"moving_frame", c_M}, {"moving_frame", q_in}, {"moving_frame", p_out_M}, {"fixed_frame", q_out}),
        join<7>(t_FM(time), q_FM(time)), join<6>(rotate(q_sensor_F, a0_F), rotate(q_sensor_F, omega_F)));
    const Vec3 a_fd_F = (1.0 / (step * step)) * (p_out_F(time + step) - 2.0 * p_out_F(time) + p_out_F(time - step));
    expectNear(imu_out, join<6>(rotate(conjugate(q_out), a_fd_F), rotate(conjugate(q_out), omega_F)), 1e-5);
  }
}

// Both reference points fixed to the body: p_o = R(q_in)·p + R(q_M)·(p_out − p_in), in the output axes.
TEST(PhysicalInvariants, PoseOfBodyPointMatchesClosedForm) {
  RandomFrames random{std::mt19937(31)};
  for (int trial = 0; trial < 5; ++trial) {
    const Quat q_in = random.unitQuat(), q_out = random.unitQuat(), q = random.unitQuat();
    const Vec3 p = random.vec(3.0), p_in_M = random.vec();
    const Vec3 p_out_M = trial == 0 ? p_in_M : random.vec();  // equal points: the offsets cancel
    kivo::KivoTfPose pose(makeConfig({"moving_frame", p_in_M}, {"fixed_frame", q_in}, {"moving_frame", p_out_M}, {"fixed_frame", q_out}));
    std::array<double, 7> pose_out{};
    ASSERT_EQ(pose.update(join<7>(p, scaled(2.0, q)), pose_out), Code::Ok);  // input orientation not of unit norm
    const Quat q_M = normalized(multiply(q_in, q));
    const Vec3 p_o_F = rotate(q_in, p) + rotate(q_M, p_out_M - p_in_M);
    expectNear(pose_out, join<7>(rotate(conjugate(q_out), p_o_F), multiply(conjugate(q_out), q_M)));
  }
}

}  // namespace
}  // namespace kivo_test
