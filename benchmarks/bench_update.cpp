// Cost of one `update` per block on its success path, side by side with the reference kernel of
// the same arithmetic (reference_kernel.hpp), and of `update` over 100,000 blocks taken in turn.
//
// Cases: "moving" puts every entry the block allows in the moving frame and gives the
// fixed-to-moving-frame transform before each update, as a control loop does; "fixed" puts every
// entry in the fixed frame and gives no transform. After the run a table gives, for each block and
// case, the best processor time per call of the library and of the kernel over the repetitions and their
// ratio, and the ratio of the per-call time over 100,000 blocks to that of a single block.
//
// Quaternions are [w, x, y, z]; the transform is [x, y, z, qw, qx, qy, qz] of M in F.

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kivo_tf_imu.hpp"
#include "kivo_tf_pose.hpp"
#include "kivo_tf_twist.hpp"
#include "kivo_tf_wrench.hpp"
#include "reference_kernel.hpp"

namespace {

constexpr double kH = 0.70710678118654752440;  // √½
constexpr std::array<double, 7> kTf{1.0, -2.0, 0.5, 0.5, -0.5, 0.5, 0.5};
constexpr std::size_t kManyBlocks = 100000;

// The library side and the kernel side of one block kind.
template <class B, std::size_t N, void (*Kernel)(const kivo_reference::Record&, const std::array<double, N>&,
                                                 std::array<double, N>&) noexcept>
struct Kind {
  using Block = B;
  using Signal = std::array<double, N>;
  static constexpr bool kTakesTf = !std::is_same_v<B, kivo::KivoTfPose>;
  // Out of line and opaque to interprocedural optimisation, as a library call is.
  [[gnu::noipa]] static void kernel(const kivo_reference::Record& r, const Signal& in, Signal& out) {
    Kernel(r, in, out);
  }
};
using Wrench = Kind<kivo::KivoTfWrench, 6, kivo_reference::wrench>;
using Twist = Kind<kivo::KivoTfTwist, 6, kivo_reference::twist>;
using Imu = Kind<kivo::KivoTfImu, 6, kivo_reference::imu>;
using Pose = Kind<kivo::KivoTfPose, 7, kivo_reference::pose>;

// The pose block cannot take its input axes in the moving frame.
template <class K>
kivo::KivoTfConfig config(bool moving) {
  const std::string frame = moving ? "moving_frame" : "fixed_frame";
  const std::string in_axes = moving && K::kTakesTf ? "moving_frame" : "fixed_frame";
  kivo::KivoTfConfig c;
  c.input_ref_point = {frame, {0.1, -0.2, 0.3}};
  c.input_expr_axes = {in_axes, {0.5, 0.5, -0.5, 0.5}};
  c.output_ref_point = {frame, {0.0, 0.0, 1.0}};
  c.output_expr_axes = {frame, {kH, kH, 0.0, 0.0}};
  return c;
}

template <class K>
kivo_reference::Record record(bool moving) {
  const kivo::KivoTfConfig c = config<K>(moving);
  kivo_reference::Record r{c.input_ref_point.translation, c.input_expr_axes.rotation,
                           c.output_ref_point.translation, c.output_expr_axes.rotation};
  r.moving_p_i = c.input_ref_point.origin == "moving_frame";
  r.moving_q_i = c.input_expr_axes.origin == "moving_frame";
  r.moving_p_o = c.output_ref_point.origin == "moving_frame";
  r.moving_q_o = c.output_expr_axes.origin == "moving_frame";
  return r;
}

template <class Signal>
Signal sampleSignal() {
  Signal signal{0.3, -1.2, 2.5, 0.6, -0.4, 0.9};
  if constexpr (std::tuple_size_v<Signal> == 7) signal[6] = 0.2;
  return signal;
}

// One cycle of a control loop on `block`.
template <class K, bool kMoving>
inline kivo::KivoControlReturnCode cycle(typename K::Block& block, std::array<double, 7>& tf,
                                         typename K::Signal& in, typename K::Signal& out) {
  if constexpr (kMoving && K::kTakesTf) {
    benchmark::DoNotOptimize(tf);
    block.setFixedToMovingFrameTf(tf);
  }
  benchmark::DoNotOptimize(in);
  const kivo::KivoControlReturnCode code = block.update(in, out);
  benchmark::DoNotOptimize(out);
  return code;
}

template <class K, bool kMoving>
void libraryUpdate(benchmark::State& state) {
  typename K::Block block(config<K>(kMoving));
  std::array<double, 7> tf = kTf;
  if constexpr (K::kTakesTf) block.setFixedToMovingFrameTf(tf);
  auto in = sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(cycle<K, kMoving>(block, tf, in, out));
  }
  if (block.update(in, out) != kivo::KivoControlReturnCode::Ok) state.SkipWithError("update refused");
}

// The same cycle on a reference record: the transform stored as the block stores it, then the
// hand-inlined arithmetic.
template <class K, bool kMoving>
inline void kernelCycle(kivo_reference::Record& r, std::array<double, 7>& tf,
                        typename K::Signal& in, typename K::Signal& out) {
  if constexpr (kMoving && K::kTakesTf) {
    benchmark::DoNotOptimize(tf);
    r.t_FM = {tf[0], tf[1], tf[2]};
    r.q_FM = {tf[3], tf[4], tf[5], tf[6]};
  }
  benchmark::DoNotOptimize(in);
  K::kernel(r, in, out);
  benchmark::DoNotOptimize(out);
}

template <class K, bool kMoving>
void kernelUpdate(benchmark::State& state) {
  kivo_reference::Record r = record<K>(kMoving);
  r.t_FM = {kTf[0], kTf[1], kTf[2]};
  r.q_FM = {kTf[3], kTf[4], kTf[5], kTf[6]};
  benchmark::DoNotOptimize(r);
  std::array<double, 7> tf = kTf;
  auto in = sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  for (auto _ : state) {
    kernelCycle<K, kMoving>(r, tf, in, out);
  }
}

// 100,000 blocks, each updated in turn, in the moving case.
template <class K>
void libraryUpdateMany(benchmark::State& state) {
  using Block = typename K::Block;
  const kivo::KivoTfConfig c = config<K>(true);
  std::unique_ptr<std::optional<Block>[]> blocks(new std::optional<Block>[kManyBlocks]);
  for (std::size_t i = 0; i < kManyBlocks; ++i) {
    blocks[i].emplace(c);
    if constexpr (K::kTakesTf) blocks[i]->setFixedToMovingFrameTf(kTf);
  }
  std::array<double, 7> tf = kTf;
  auto in = sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  std::size_t i = 0;
  bool all_ok = true;
  for (auto _ : state) {
    all_ok &= cycle<K, true>(*blocks[i], tf, in, out) == kivo::KivoControlReturnCode::Ok;
    i = i + 1 == kManyBlocks ? 0 : i + 1;
  }
  if (!all_ok) state.SkipWithError("update refused");
}

template <class K>
void kernelUpdateMany(benchmark::State& state) {
  std::vector<kivo_reference::Record> records(kManyBlocks, record<K>(true));
  std::array<double, 7> tf = kTf;
  auto in = sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  std::size_t i = 0;
  for (auto _ : state) {
    kernelCycle<K, true>(records[i], tf, in, out);
    i = i + 1 == kManyBlocks ? 0 : i + 1;
  }
}

// Whether a run stopped with an error: Google Benchmark 1.7 says so in `error_occurred`, 1.8 and
// later in `skipped` (zero when the run was not skipped).
template <class R, class = void>
struct HasSkipped : std::false_type {};
template <class R>
struct HasSkipped<R, std::void_t<decltype(std::declval<const R&>().skipped)>> : std::true_type {};

template <class R>
bool runFailed(const R& run) {
  if constexpr (HasSkipped<R>::value) {
    return static_cast<int>(run.skipped) != 0;
  } else {
    return run.error_occurred;
  }
}

// Keeps the best processor time per iteration (ns) of each benchmark over its repetitions.
class BestTimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || runFailed(run) || run.iterations == 0) continue;
      const double ns = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      const std::string& name = run.run_name.function_name;
      const auto [it, inserted] = best_ns.emplace(name, ns);
      if (!inserted && ns < it->second) it->second = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  std::optional<double> best(const std::string& name) const {
    const auto it = best_ns.find(name);
    return it == best_ns.end() ? std::nullopt : std::optional<double>(it->second);
  }

 private:
  std::map<std::string, double> best_ns;
};

const char* const kBlocks[] = {"wrench", "twist", "imu", "pose"};

template <class K>
void registerBlock(const std::string& block) {
  benchmark::RegisterBenchmark(("library/" + block + "/moving").c_str(), libraryUpdate<K, true>);
  benchmark::RegisterBenchmark(("kernel/" + block + "/moving").c_str(), kernelUpdate<K, true>);
  benchmark::RegisterBenchmark(("library/" + block + "/fixed").c_str(), libraryUpdate<K, false>);
  benchmark::RegisterBenchmark(("kernel/" + block + "/fixed").c_str(), kernelUpdate<K, false>);
  benchmark::RegisterBenchmark(("library_100k/" + block + "/moving").c_str(), libraryUpdateMany<K>);
  benchmark::RegisterBenchmark(("kernel_100k/" + block + "/moving").c_str(), kernelUpdateMany<K>);
}

void printRatios(const BestTimeReporter& reporter) {
  const auto ratio = [&](const std::string& num, const std::string& den) {
    const auto a = reporter.best(num), b = reporter.best(den);
    return a && b ? std::optional<double>(*a / *b) : std::nullopt;
  };
  const auto cell = [](std::optional<double> value, const char* format) {
    static char text[32];
    if (value) {
      std::snprintf(text, sizeof text, format, *value);
    } else {
      std::snprintf(text, sizeof text, "-");
    }
    return std::string(text);
  };
  std::printf("\nBest time per call over the repetitions (ns) and ratios\n");
  std::printf("%-8s %-7s %9s %9s %14s %11s %13s\n", "block", "case", "library", "kernel",
              "library/kernel", "100k (ns)", "100k/single");
  for (const char* block : kBlocks) {
    for (const char* frames : {"moving", "fixed"}) {
      const std::string suffix = std::string(block) + "/" + frames;
      const bool moving = std::string(frames) == "moving";
      std::printf("%-8s %-7s %9s %9s %14s %11s %13s\n", block, frames,
                  cell(reporter.best("library/" + suffix), "%.2f").c_str(),
                  cell(reporter.best("kernel/" + suffix), "%.2f").c_str(),
                  cell(ratio("library/" + suffix, "kernel/" + suffix), "%.3f").c_str(),
                  moving ? cell(reporter.best("library_100k/" + suffix), "%.2f").c_str() : "",
                  moving ? cell(ratio("library_100k/" + suffix, "library/" + suffix), "%.3f").c_str()
                         : "");
    }
  }
  std::printf("(kernel over 100,000 records / single, for comparison:");
  for (const char* block : kBlocks) {
    const std::string suffix = std::string(block) + "/moving";
    std::printf(" %s %s", block, cell(ratio("kernel_100k/" + suffix, "kernel/" + suffix), "%.3f").c_str());
  }
  std::printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
  registerBlock<Wrench>("wrench");
  registerBlock<Twist>("twist");
  registerBlock<Imu>("imu");
  registerBlock<Pose>("pose");
  // Several short repetitions by default, in random order across benchmarks: the best of them is
  // the figure least disturbed by other work on the machine, and a library figure and its kernel
  // figure see the same conditions. Command-line flags override these defaults.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=10";
  std::string min_time = "--benchmark_min_time=0.1";
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions.data(), min_time.data(), interleaving.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printRatios(reporter);
  return 0;
}
