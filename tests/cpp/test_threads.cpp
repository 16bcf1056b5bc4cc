// Blocks share nothing: eight blocks of every kind, each on its own thread, run many control
// cycles at once and must give exactly the results of the same blocks run one after another, and
// the diagnostic lines that they write meanwhile must stay whole. Some blocks load the shared
// configuration file while the others already run; some start not ready and are completed by
// their setters; locked entries refuse their setters.

#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace kivo_test {
namespace {

constexpr int kBlocksPerKind = 8;
constexpr int kCycles = 3000;

// One cycle's return code and output; the output starts every cycle as 42 in every element.
struct Step {
  Code code = Code::Ok;
  std::array<double, 7> out{};
  bool operator==(const Step& other) const { return code == other.code && out == other.out; }
};
struct Trace {
  std::vector<bool> setter_results;
  std::vector<Step> steps;
};

// A unit quaternion [w, x, y, z] for `angle` about an axis that depends on `seed`.
std::array<double, 4> turn(double angle, int seed) {
  const double ax = std::cos(seed), ay = std::sin(seed), az = 0.5;
  const double norm = std::sqrt(ax * ax + ay * ay + az * az), s = std::sin(0.5 * angle) / norm;
  return {std::cos(0.5 * angle), s * ax, s * ay, s * az};
}

// The configuration of block `index`: entry origins follow the bits of the index, so that every
// mix of fixed and moving entries occurs; block 2 starts without output axes.
kivo::KivoTfConfig blockConfig(int index, bool pose) {
  const auto origin = [index](int bit) { return (index >> bit) & 1 ? "moving_frame" : "fixed_frame"; };
  kivo::KivoTfConfig config;
  config.name = "block " + std::to_string(index);
  config.policy = static_cast<Policy>(index % 4);
  const double d = 0.1 * index;
  config.input_ref_point = {origin(0), {d, -0.2, 0.3}};
  // The pose block refuses input axes in the moving frame; block 3 starts that way.
  config.input_expr_axes = {pose && index != 3 ? "fixed_frame" : origin(1), turn(0.3 * index, index)};
  config.output_ref_point = {origin(2), {0.0, d, -1.0}};
  config.output_expr_axes = {index == 2 ? "" : origin(1), turn(-0.2 * index, index + 1)};
  return config;
}

// The configuration file shared by blocks 0 and 1 of every kind: every section with the entries
// of block 5, and the policy text "Hard_RT", which is not a policy.
std::string sharedFileText() {
  const auto point = [](const kivo::Translation& e) { return nlohmann::json{{"origin", e.origin}, {"translation", e.translation}}; };
  const auto axes = [](const kivo::Rotation& e) { return nlohmann::json{{"origin", e.origin}, {"rotation", e.rotation}}; };
  nlohmann::json file;
  for (const char* section : {"tf_wrench_config", "tf_twist_config", "tf_pose_config", "tf_imu_config"}) {
    const kivo::KivoTfConfig c = blockConfig(5, std::string(section) == "tf_pose_config");
    file[section] = {{"name", "from file"},
                     {"policy", "Hard_RT"},
                     {"set_input_reference_point", point(c.input_ref_point)},
                     {"set_input_expression_axes", axes(c.input_expr_axes)},
                     {"set_output_reference_point", point(c.output_ref_point)},
                     {"set_output_expression_axes", axes(c.output_expr_axes)}};
  }
  return file.dump();
}

// Runs block `index` of kind T for kCycles cycles; the same index gives the same trace.
template <class T>
Trace runBlock(int index, const std::string& file_path) {
  using Block = typename T::Block;
  using Signal = typename T::Signal;
  constexpr bool pose = std::is_same_v<Block, kivo::KivoTfPose>;
  const kivo::KivoTfConfig config = blockConfig(index, pose);
  std::unique_ptr<Block> block = index < 2 ? std::make_unique<Block>(file_path) : std::make_unique<Block>(config);
  Trace trace;
  trace.steps.reserve(kCycles);
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    if (cycle == 2) {
      // Locked on the blocks from the file; completes block 2 and corrects block 3 of the pose.
      trace.setter_results.push_back(block->setInputReferencePoint("fixed_frame", {1, 2, 3}));
      if (index == 2) trace.setter_results.push_back(block->setOutputExpressionAxes("moving_frame", turn(0.4, 7)));
      if (index == 3 && pose) trace.setter_results.push_back(block->setInputExpressionAxes("fixed_frame", turn(0.1, 3)));
    }
    const double time = 1e-3 * cycle;
    if (cycle >= 1) {
      const auto q = turn(0.7 * time + index, index + 2);
      setTfIfAny(*block, FrameTf{std::sin(time), 0.5 * index, -time, q[0], q[1], q[2], q[3]});
    }
    Signal signal_in{};
    for (std::size_t i = 0; i < signal_in.size(); ++i) signal_in[i] = std::cos(time * static_cast<double>(i + 1) + index);
    if constexpr (pose) {
      const auto q = turn(time - index, index + 5);
      std::copy(q.begin(), q.end(), signal_in.begin() + 3);
    }
    Signal signal_out;
    signal_out.fill(42.0);
    Step step;
    step.code = block->update(signal_in, signal_out);
    std::copy(signal_out.begin(), signal_out.end(), step.out.begin());
    trace.steps.push_back(step);
  }
  return trace;
}

// Every line a block of kind T may write in this test.
template <class T>
void addKnownLines(std::set<std::string>& lines) {
  const std::string prefix = std::string(T::prefix) + ": ";
  lines.insert(prefix + "update() called before all TF entries are set.");
  lines.insert(prefix + "InputReferencePoint was loaded from JSON and cannot be overridden from code.");
  if constexpr (std::is_same_v<typename T::Block, kivo::KivoTfPose>) {  // em dash U+2014 in UTF-8
    lines.insert(prefix + "input expression axes cannot use 'moving_frame' \xE2\x80\x94 this creates a circular "
                          "dependency with the input quaternion.");
  } else {
    lines.insert(prefix + "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.");
  }
}

std::map<std::string, int> countLines(const std::string& text) {
  std::map<std::string, int> counts;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) ++counts[line];
  return counts;
}

TEST(Threads, BlocksOnSeparateThreadsMatchASingleThreadedRunAndKeepTheirLinesWhole) {
  const TempJsonFile file(sharedFileText());
  std::vector<std::function<Trace()>> jobs;
  std::set<std::string> known{"Warning: unknown policy \"Hard_RT\" in JSON config; defaulting to best_effort."};
  const auto add_kind = [&](auto traits) {
    using T = decltype(traits);
    addKnownLines<T>(known);
    for (int index = 0; index < kBlocksPerKind; ++index) jobs.push_back([index, &file] { return runBlock<T>(index, file.path); });
  };
  add_kind(WrenchTraits{});
  add_kind(TwistTraits{});
  add_kind(PoseTraits{});
  add_kind(ImuTraits{});

  std::vector<Trace> sequential, concurrent(jobs.size());
  const std::string sequential_lines = stderrOf([&] {
    for (const auto& job : jobs) sequential.push_back(job());
  });
  const std::string concurrent_lines = stderrOf([&] {
    std::atomic<std::size_t> waiting{jobs.size()};
    std::vector<std::thread> threads;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      threads.emplace_back([&, j] {
        // All threads start their blocks together.
        waiting.fetch_sub(1);
        while (waiting.load() > 0) std::this_thread::yield();
        concurrent[j] = jobs[j]();
      });
    }
    for (std::thread& thread : threads) thread.join();
  });

  for (std::size_t j = 0; j < jobs.size(); ++j) {
    SCOPED_TRACE("block " + std::to_string(j % kBlocksPerKind) + " of kind " + std::to_string(j / kBlocksPerKind));
    EXPECT_EQ(concurrent[j].setter_results, sequential[j].setter_results);
    ASSERT_EQ(concurrent[j].steps.size(), sequential[j].steps.size());
    for (std::size_t cycle = 0; cycle < sequential[j].steps.size(); ++cycle) {
      ASSERT_EQ(concurrent[j].steps[cycle], sequential[j].steps[cycle]) << "cycle " << cycle;
    }
  }
  // The reference run itself: blocks reach Ok, refuse first where they should, and say why.
  const auto sequential_counts = countLines(sequential_lines);
  for (const auto& [line, count] : sequential_counts) EXPECT_EQ(known.count(line), 1u) << line;
  EXPECT_EQ(sequential_counts.size(), known.size());
  for (const Trace& trace : sequential) EXPECT_EQ(trace.steps.back().code, Code::Ok);
  // Whole lines: the same lines, as often, in whatever order the threads wrote them.
  EXPECT_EQ(countLines(concurrent_lines), sequential_counts);
}

}  // namespace
}  // namespace kivo_test
