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

#include "update_cases.hpp"

namespace {

using namespace kivo_bench;

constexpr std::size_t kManyBlocks = 100000;

template <class K, bool kMoving>
void libraryUpdate(benchmark::State& state) {
  typename K::Block block(config<K>(kMoving));
  std::array<double, 7> tf = kTf;
  if constexpr (K::kTakesTf) block.setFixedToMovingFrameTf(tf);
  auto in = sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(libraryCycle<K, kMoving>(block, tf, in, out));
  }
  if (block.update(in, out) != kivo::KivoControlReturnCode::Ok) state.SkipWithError("update refused");
}

template <class K, bool kMoving>
void kernelUpdate(benchmark::State& state) {
  kivo_reference::Record r = record<K>(kMoving);
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
    all_ok &= libraryCycle<K, true>(*blocks[i], tf, in, out) == kivo::KivoControlReturnCode::Ok;
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
