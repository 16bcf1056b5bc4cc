// Every block's `update` gives, bit for bit, the result of the benchmarks' reference kernel of the
// same arithmetic, for each combination of entries in the fixed and the moving frame and for
// random entries, transforms and signals (quaternions of any norm, as stored).

#include <cstring>
#include <random>

#include "reference_kernel.hpp"
#include "test_support.hpp"

namespace kivo_test {
namespace {

template <class T>
class ReferenceKernel : public testing::Test {};
TYPED_TEST_SUITE(ReferenceKernel, AllBlocks);

template <class Block, class Signal>
void kernel(const kivo_reference::Record& r, const Signal& in, Signal& out) {
  if constexpr (std::is_same_v<Block, kivo::KivoTfWrench>) kivo_reference::wrench(r, in, out);
  if constexpr (std::is_same_v<Block, kivo::KivoTfTwist>) kivo_reference::twist(r, in, out);
  if constexpr (std::is_same_v<Block, kivo::KivoTfImu>) kivo_reference::imu(r, in, out);
  if constexpr (std::is_same_v<Block, kivo::KivoTfPose>) kivo_reference::pose(r, in, out);
}

TYPED_TEST(ReferenceKernel, UpdateMatchesKernelBitForBit) {
  using T = TypeParam;
  using Block = typename T::Block;
  constexpr bool kPose = std::is_same_v<Block, kivo::KivoTfPose>;
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> number(-2.0, 2.0);
  const auto vec3 = [&] { return kivo_reference::Vec3{number(rng), number(rng), number(rng)}; };
  const auto quat = [&] { return kivo_reference::Quat{number(rng), number(rng), number(rng), number(rng)}; };
  for (unsigned flags = 0; flags < 16; ++flags) {
    if (kPose && (flags & 2u)) continue;  // the pose refuses moving input axes
    for (int trial = 0; trial < 20; ++trial) {
      kivo_reference::Record r{vec3(), quat(), vec3(), quat(), vec3(), quat(),
                               (flags & 1u) != 0, (flags & 2u) != 0, (flags & 4u) != 0, (flags & 8u) != 0};
      const auto origin = [](bool moving) { return std::string(moving ? "moving_frame" : "fixed_frame"); };
      Block block(makeConfig({origin(r.moving_p_i), r.p_i}, {origin(r.moving_q_i), r.q_i},
                             {origin(r.moving_p_o), r.p_o}, {origin(r.moving_q_o), r.q_o}));
      setTfIfAny(block, {r.t_FM[0], r.t_FM[1], r.t_FM[2], r.q_FM[0], r.q_FM[1], r.q_FM[2], r.q_FM[3]});
      typename T::Signal in{}, from_block{}, from_kernel{};
      for (double& value : in) value = number(rng);
      ASSERT_EQ(block.update(in, from_block), Code::Ok);
      kernel<Block>(r, in, from_kernel);
      EXPECT_EQ(std::memcmp(from_block.data(), from_kernel.data(), sizeof from_block), 0)
          << "flags " << flags << ", trial " << trial;
    }
  }
}

}  // namespace
}  // namespace kivo_test
