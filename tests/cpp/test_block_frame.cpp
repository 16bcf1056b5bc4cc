// Behaviour shared by the four transform blocks: readiness and policies, the moving-frame refusal,
// locked and unlocked setters, origin interpretation, names and file sections, in-place update and
// the allocation-free success path.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

// Counting global allocation functions. Every form a program may call (plain, array, nothrow,
// aligned, sized) is replaced, all on malloc/free, so that no allocation made by one form of the
// runtime is released by another (which AddressSanitizer reports as a mismatch).
static std::size_t g_heap_allocations = 0;

static void* countedAllocation(std::size_t size, std::size_t alignment) noexcept {
  ++g_heap_allocations;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

static void* countedAllocationOrThrow(std::size_t size, std::size_t alignment) {
  if (void* memory = countedAllocation(size, alignment)) return memory;
  throw std::bad_alloc();
}

constexpr std::size_t kDefaultAlignment = alignof(std::max_align_t);

void* operator new(std::size_t size) { return countedAllocationOrThrow(size, kDefaultAlignment); }
void* operator new[](std::size_t size) { return countedAllocationOrThrow(size, kDefaultAlignment); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return countedAllocationOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return countedAllocationOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return countedAllocation(size, kDefaultAlignment);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return countedAllocation(size, kDefaultAlignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return countedAllocation(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return countedAllocation(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(memory);
}

namespace kivo_test {
namespace {

template <class T>
class BlockFrame : public testing::Test {};
TYPED_TEST_SUITE(BlockFrame, AllBlocks);

template <class T>
std::string line(const std::string& text) { return std::string(T::prefix) + ": " + text + "\n"; }

template <class T>
std::string movingFrameRefusal() {
  if constexpr (std::is_same_v<typename T::Block, kivo::KivoTfPose>) {  // em dash U+2014 in UTF-8
    return line<T>("input expression axes cannot use 'moving_frame' \xE2\x80\x94 this creates a circular "
                   "dependency with the input quaternion.");
  } else {
    return line<T>("a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.");
  }
}

template <class Signal>
Signal sampleSignal() {
  const double values[] = {0.3, -1.2, 2.5, 0.6, -0.4, 0.9, 0.2};
  Signal signal{};
  std::copy_n(values, signal.size(), signal.begin());
  return signal;
}

// The section `section` of a file holding the four entries of `c`.
std::string sectionJson(const std::string& section, const kivo::KivoTfConfig& c) {
  const auto entry = [](const std::string& origin, const auto& values, const char* key) {
    return nlohmann::json{{"origin", origin}, {key, values}};
  };
  return nlohmann::json{{section,
                         {{"set_input_reference_point", entry(c.input_ref_point.origin, c.input_ref_point.translation, "translation")},
                          {"set_input_expression_axes", entry(c.input_expr_axes.origin, c.input_expr_axes.rotation, "rotation")},
                          {"set_output_reference_point", entry(c.output_ref_point.origin, c.output_ref_point.translation, "translation")},
                          {"set_output_expression_axes", entry(c.output_expr_axes.origin, c.output_expr_axes.rotation, "rotation")}}}}
      .dump();
}

// The four setters called with the entries of `c`, each with the word of its lock message.
template <class Block>
std::vector<std::pair<std::string, std::function<bool()>>> settersOf(Block& block, const kivo::KivoTfConfig& c) {
  return {{"InputReferencePoint", [&] { return block.setInputReferencePoint(c.input_ref_point.origin, c.input_ref_point.translation); }},
          {"InputExpressionAxes", [&] { return block.setInputExpressionAxes(c.input_expr_axes.origin, c.input_expr_axes.rotation); }},
          {"OutputReferencePoint", [&] { return block.setOutputReferencePoint(c.output_ref_point.origin, c.output_ref_point.translation); }},
          {"OutputExpressionAxes", [&] { return block.setOutputExpressionAxes(c.output_expr_axes.origin, c.output_expr_axes.rotation); }}};
}

// A refused update: its code, exactly one line on stderr, nothing on stdout, output untouched.
template <class T>
void expectRefusal(typename T::Block& block, Code code, const std::string& message) {
  typename T::Signal signal_out;
  signal_out.fill(42.0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(block.update(sampleSignal<typename T::Signal>(), signal_out), code); }), message);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (const double value : signal_out) EXPECT_EQ(value, 42.0);
}

template <class T>
typename T::Signal updated(typename T::Block& block) {
  typename T::Signal signal_out{};
  EXPECT_EQ(block.update(sampleSignal<typename T::Signal>(), signal_out), Code::Ok);
  return signal_out;
}

TYPED_TEST(BlockFrame, RefusalCodeFollowsPolicyAndReadinessComesFirst) {
  using T = TypeParam;
  for (const std::uint32_t policy : {0u, 1u, 2u, 3u, 7u}) {
    SCOPED_TRACE("policy " + std::to_string(policy));
    const Code code = policy <= 1 ? Code::NotReady : Code::Error;
    auto config = mixedConfig(static_cast<Policy>(policy));
    config.input_expr_axes.origin = "moving_frame";
    config.output_expr_axes.origin.clear();  // left unset
    typename T::Block block(config);
    expectRefusal<T>(block, code, line<T>("update() called before all TF entries are set."));
    ASSERT_TRUE(block.setOutputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
    expectRefusal<T>(block, code, movingFrameRefusal<T>());
  }
}

TYPED_TEST(BlockFrame, EntriesFromFileAreLockedAgainstSetters) {
  using T = TypeParam;
  const TempJsonFile file(sectionJson(T::section, mixedConfig()));
  typename T::Block locked(file.path), reference(mixedConfig());
  const auto other = makeConfig(fixedPoint(9, 9, 9), fixedAxes(0, 1, 0, 0), fixedPoint(-9, 0, 9), fixedAxes(0, 0, 1, 0));
  for (int round = 0; round < 2; ++round) {
    for (const auto& [word, set] : settersOf(locked, other)) {
      bool accepted = true;
      EXPECT_EQ(stderrOf([&] { accepted = set(); }), line<T>(word + " was loaded from JSON and cannot be overridden from code."));
      EXPECT_FALSE(accepted) << word;
    }
  }
  setTfIfAny(locked, kSomeTf);
  setTfIfAny(reference, kSomeTf);
  EXPECT_EQ(updated<T>(locked), updated<T>(reference));
}

// Origins differing from "moving_frame" by case or a blank, and the empty origin, mean the fixed
// frame: no transform needed, nothing printed, results as with "fixed_frame".
TYPED_TEST(BlockFrame, UnlockedSettersCompleteAnEmptyConfigAndOddOriginsMeanFixedFrame) {
  using T = TypeParam;
  typename T::Block block(std::string{});
  EXPECT_EQ(block.name(), "");
  expectRefusal<T>(block, Code::NotReady, line<T>("update() called before all TF entries are set."));
  auto odd = mixedConfig(), fixed = mixedConfig();
  odd.input_ref_point.origin = "moving_Frame";
  odd.input_expr_axes.origin = "moving_frame ";
  odd.output_ref_point.origin = "";
  odd.output_expr_axes.origin = "Moving_frame";
  for (auto* origin : {&fixed.input_ref_point.origin, &fixed.input_expr_axes.origin, &fixed.output_ref_point.origin,
                       &fixed.output_expr_axes.origin}) *origin = "fixed_frame";
  for (int round = 0; round < 2; ++round) {
    for (const auto& [word, set] : settersOf(block, odd)) {
      bool accepted = false;
      EXPECT_EQ(stderrOf([&] { accepted = set(); }), "") << word;
      EXPECT_TRUE(accepted) << word;
    }
  }
  typename T::Block fixed_block(fixed);
  typename T::Signal odd_out{};
  EXPECT_EQ(stderrOf([&] { odd_out = updated<T>(block); }), "");
  EXPECT_EQ(odd_out, updated<T>(fixed_block));
}

TYPED_TEST(BlockFrame, SuccessPathAllocatesNothingAndAcceptsOneArrayForBoth) {
  using T = TypeParam;
  typename T::Block block(mixedConfig());
  setTfIfAny(block, kSomeTf);
  const auto signal_in = sampleSignal<typename T::Signal>();
  typename T::Signal signal_out{};
  const std::size_t allocations_before = g_heap_allocations;
  const Code code = block.update(signal_in, signal_out);
  const std::size_t allocations = g_heap_allocations - allocations_before;
  EXPECT_EQ(code, Code::Ok);
  EXPECT_EQ(allocations, 0u);
  auto signal = signal_in;
  EXPECT_EQ(block.update(signal, signal), Code::Ok);
  EXPECT_EQ(signal, signal_out);
}

TYPED_TEST(BlockFrame, NameComesFromConfigOrFromTheBlocksOwnSection) {
  using T = TypeParam;
  auto config = mixedConfig();
  config.name = "left gripper";
  EXPECT_EQ(typename T::Block(config).name(), "left gripper");
  nlohmann::json sections;
  for (const char* section : {"tf_wrench_config", "tf_twist_config", "tf_pose_config", "tf_imu_config"}) {
    sections[section]["name"] = section;
  }
  const TempJsonFile all(sections.dump());
  EXPECT_EQ(typename T::Block(all.path).name(), T::section);
  sections.erase(T::section);
  const TempJsonFile others(sections.dump());
  EXPECT_EQ(runtimeErrorOf([&] { typename T::Block block(others.path); }),
            "Failed to parse config file '" + others.path + "': [json.exception.out_of_range.403] key '" + T::section + "' not found");
}

}  // namespace
}  // namespace kivo_test
