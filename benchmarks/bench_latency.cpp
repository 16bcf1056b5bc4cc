// Latency of single control cycles: for each block and case (update_cases.hpp), the distribution
// of the time of one cycle (the transform where the case gives one, then `update`) over many
// single calls, each timed on its own, beside the same cycle of the reference kernel, in one run.
// Prints p50, p99, p99.9, p99.99 and the maximum in nanoseconds, and the mean of the fastest 99 %
// of the calls (the rest holds the preemptions and interrupts, which would swamp a plain mean),
// with the same figures for an empty timed region: every figure includes that timer overhead. The
// clock's step (printed) may be coarser than a cycle, which rounds the percentiles; a mean of many
// readings is not rounded, so the column "mean net" (the mean less the timer's) and the ratio of
// the library's to the kernel's are taken from it.
//
// The process locks its memory (mlockall, where permitted) and pins itself to one core
// (sched_setaffinity); the sample buffers are written before the timing starts, so that no page is
// first touched inside a timed region. The library's and the kernel's calls of one case are taken
// in alternating slices, so that other work on the machine weighs on both alike.
//
// Usage: kivo_tf_latency [--calls N] [--cpu K] [--clock tsc|monotonic] [--fifo PRIORITY]
//   --calls  timed calls per block, case and side (default 10000000; fewer for a quick run)
//   --cpu    the core to run on (default: the last core this process may use)
//   --clock  tsc: the time-stamp counter, calibrated against CLOCK_MONOTONIC_RAW (default on
//            x86-64 when the counter is invariant); monotonic: clock_gettime(CLOCK_MONOTONIC)
//   --fifo   run under SCHED_FIFO at this priority (1-99) where permitted, as a real-time
//            control thread does; without it the tail includes preemption by other work

#include <sched.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "update_cases.hpp"

namespace {

using kivo_bench::Imu;
using kivo_bench::Pose;
using kivo_bench::Twist;
using kivo_bench::Wrench;
using Ticks = std::uint64_t;

constexpr std::size_t kSlice = 10000;    // calls of one side before the other side's turn
constexpr std::size_t kWarmUp = 100000;  // untimed calls of each side before a case

// ---- The clock ----------------------------------------------------------------------------------

enum class ClockKind { Tsc, Monotonic };

std::uint64_t monotonicNs(clockid_t clock) noexcept {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

#if defined(__x86_64__)
// The fences keep the timed instructions between the two readings.
inline Ticks tscStart() noexcept {
  _mm_lfence();
  const Ticks t = __rdtsc();
  _mm_lfence();
  return t;
}
inline Ticks tscStop() noexcept {
  unsigned int cpu;
  const Ticks t = __rdtscp(&cpu);
  _mm_lfence();
  return t;
}
#endif

// An invariant time-stamp counter runs at one rate whatever the core's frequency and state.
bool tscIsInvariant() {
#if defined(__x86_64__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) == 0) {
      const auto has = [&line](const char* flag) { return line.find(flag) != std::string::npos; };
      return has(" constant_tsc") && has(" nonstop_tsc") && has(" rdtscp");
    }
  }
#endif
  return false;
}

// Nanoseconds per tick of the chosen clock.
double nsPerTick(ClockKind clock) {
  if (clock == ClockKind::Monotonic) return 1.0;
#if defined(__x86_64__)
  const std::uint64_t ns0 = monotonicNs(CLOCK_MONOTONIC_RAW);
  const Ticks t0 = tscStart();
  while (monotonicNs(CLOCK_MONOTONIC_RAW) - ns0 < 200000000u) {
  }
  const std::uint64_t ns1 = monotonicNs(CLOCK_MONOTONIC_RAW);
  const Ticks t1 = tscStop();
  return static_cast<double>(ns1 - ns0) / static_cast<double>(t1 - t0);
#else
  return 1.0;
#endif
}

// Times `call` `count` times, one sample per call, into `samples` from `offset` on.
template <ClockKind kClock, class Call>
[[gnu::noinline]] void timeCalls(Call& call, std::vector<Ticks>& samples, std::size_t offset,
                                 std::size_t count) {
  for (std::size_t i = offset; i < offset + count; ++i) {
#if defined(__x86_64__)
    if constexpr (kClock == ClockKind::Tsc) {
      const Ticks t0 = tscStart();
      call();
      samples[i] = tscStop() - t0;
    } else
#endif
    {
      const Ticks t0 = monotonicNs(CLOCK_MONOTONIC);
      call();
      samples[i] = monotonicNs(CLOCK_MONOTONIC) - t0;
    }
  }
}

// ---- Figures ------------------------------------------------------------------------------------

struct Figures {
  double p50, p99, p999, p9999, max, mean;
};

// Nearest-rank percentiles and the mean of the fastest 99 % of the samples, in nanoseconds;
// sorts the samples.
Figures figuresOf(std::vector<Ticks>& samples, double ns_per_tick) {
  std::sort(samples.begin(), samples.end());
  const std::size_t fastest = std::max<std::size_t>(1, samples.size() * 99 / 100);
  long double sum = 0;
  for (std::size_t i = 0; i < fastest; ++i) sum += static_cast<long double>(samples[i]);
  const double mean = static_cast<double>(sum / static_cast<long double>(fastest)) * ns_per_tick;
  const auto at = [&](double fraction) {
    const double rank = fraction * static_cast<double>(samples.size());
    std::size_t index = static_cast<std::size_t>(rank);
    if (static_cast<double>(index) == rank && index > 0) --index;  // rank is whole: its sample
    return static_cast<double>(samples[std::min(index, samples.size() - 1)]) * ns_per_tick;
  };
  return {at(0.50), at(0.99), at(0.999), at(0.9999), static_cast<double>(samples.back()) * ns_per_tick, mean};
}

void printHeader() {
  std::printf("%-8s %-7s %-8s %7s %7s %7s %8s %11s %7s %9s %8s\n", "block", "case", "side", "p50", "p99",
              "p99.9", "p99.99", "max", "mean99", "mean net", "lib/ker");
}

// `timer_mean` is the mean99 of the empty timed region; `kernel` the kernel's figures beside a
// library row.
void printRow(const char* block, const char* frames, const char* side, const Figures& f, double timer_mean,
              const Figures* kernel) {
  char ratio[32] = "";
  if (kernel != nullptr) {
    std::snprintf(ratio, sizeof ratio, "%.3f", (f.mean - timer_mean) / (kernel->mean - timer_mean));
  }
  std::printf("%-8s %-7s %-8s %7.1f %7.1f %7.1f %8.1f %11.1f %7.2f %9.2f %8s\n", block, frames, side, f.p50,
              f.p99, f.p999, f.p9999, f.max, f.mean, f.mean - timer_mean, ratio);
}

// The smallest difference between two distinct sorted samples, in nanoseconds: the clock's step.
double stepOf(const std::vector<Ticks>& sorted_samples, double ns_per_tick) {
  Ticks step = 0;
  for (std::size_t i = 1; i < sorted_samples.size(); ++i) {
    const Ticks d = sorted_samples[i] - sorted_samples[i - 1];
    if (d != 0 && (step == 0 || d < step)) step = d;
  }
  return static_cast<double>(step) * ns_per_tick;
}

// ---- The cases ----------------------------------------------------------------------------------

struct Run {
  std::size_t calls;
  ClockKind clock;
  double ns_per_tick;
  std::vector<Ticks> library_samples;
  std::vector<Ticks> kernel_samples;
  double timer_mean = 0.0;
  bool all_ok = true;
};

template <class LibraryCall, class KernelCall>
void measure(Run& run, LibraryCall& library, KernelCall& kernel) {
  for (std::size_t i = 0; i < kWarmUp; ++i) {
    library();
    kernel();
  }
  for (std::size_t offset = 0; offset < run.calls; offset += kSlice) {
    const std::size_t count = std::min(kSlice, run.calls - offset);
    if (run.clock == ClockKind::Tsc) {
      timeCalls<ClockKind::Tsc>(library, run.library_samples, offset, count);
      timeCalls<ClockKind::Tsc>(kernel, run.kernel_samples, offset, count);
    } else {
      timeCalls<ClockKind::Monotonic>(library, run.library_samples, offset, count);
      timeCalls<ClockKind::Monotonic>(kernel, run.kernel_samples, offset, count);
    }
  }
}

template <class K, bool kMoving>
void runCase(Run& run, const char* block_name) {
  typename K::Block block(kivo_bench::config<K>(kMoving));
  if constexpr (K::kTakesTf) block.setFixedToMovingFrameTf(kivo_bench::kTf);
  kivo_reference::Record record = kivo_bench::record<K>(kMoving);
  std::array<double, 7> tf = kivo_bench::kTf;
  auto in = kivo_bench::sampleSignal<typename K::Signal>();
  typename K::Signal out{};
  // Ok is 0: any other return code leaves a bit set.
  std::uint32_t codes = 0;
  auto library = [&] {
    codes |= static_cast<std::uint32_t>(kivo_bench::libraryCycle<K, kMoving>(block, tf, in, out));
  };
  auto kernel = [&] { kivo_bench::kernelCycle<K, kMoving>(record, tf, in, out); };
  measure(run, library, kernel);
  const bool ok = codes == 0;
  run.all_ok &= ok;
  const Figures kernel_figures = figuresOf(run.kernel_samples, run.ns_per_tick);
  const Figures library_figures = figuresOf(run.library_samples, run.ns_per_tick);
  const char* frames = kMoving ? "moving" : "fixed";
  printRow(block_name, frames, ok ? "library" : "library!", library_figures, run.timer_mean, &kernel_figures);
  printRow(block_name, frames, "kernel", kernel_figures, run.timer_mean, nullptr);
  std::fflush(stdout);
}

template <class K>
void runBlock(Run& run, const char* block_name) {
  runCase<K, true>(run, block_name);
  runCase<K, false>(run, block_name);
}

// ---- Setup --------------------------------------------------------------------------------------

[[noreturn]] void usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--calls N] [--cpu K] [--clock tsc|monotonic] [--fifo PRIORITY]\n",
               program);
  std::exit(2);
}

// The last core in this process's affinity mask, or -1.
int lastAllowedCpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
    if (CPU_ISSET(cpu, &set)) return cpu;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t calls = 10000000;
  int cpu = lastAllowedCpu();
  ClockKind clock = tscIsInvariant() ? ClockKind::Tsc : ClockKind::Monotonic;
  int fifo_priority = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) usage(argv[0]);
    const std::string value = argv[++i];
    char* end = nullptr;
    if (option == "--calls") {
      const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      if (*end != '\0' || n == 0) usage(argv[0]);
      calls = static_cast<std::size_t>(n);
    } else if (option == "--cpu") {
      const long k = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || k < 0 || k >= CPU_SETSIZE) usage(argv[0]);
      cpu = static_cast<int>(k);
    } else if (option == "--fifo") {
      const long priority = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || priority < 1 || priority > 99) usage(argv[0]);
      fifo_priority = static_cast<int>(priority);
    } else if (option == "--clock" && (value == "tsc" || value == "monotonic")) {
      clock = value == "tsc" ? ClockKind::Tsc : ClockKind::Monotonic;
#if !defined(__x86_64__)
      if (clock == ClockKind::Tsc) usage(argv[0]);
#endif
    } else {
      usage(argv[0]);
    }
  }

  std::string pinned = "not pinned";
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pinned = sched_setaffinity(0, sizeof set, &set) == 0
                 ? "pinned to core " + std::to_string(cpu)
                 : "not pinned (core " + std::to_string(cpu) + ": " + std::strerror(errno) + ")";
  }

  std::string scheduling = "default scheduling";
  if (fifo_priority > 0) {
    sched_param param{};
    param.sched_priority = fifo_priority;
    scheduling = sched_setscheduler(0, SCHED_FIFO, &param) == 0
                     ? "SCHED_FIFO priority " + std::to_string(fifo_priority)
                     : std::string("default scheduling (SCHED_FIFO: ") + std::strerror(errno) + ")";
  }

  Run run{calls, clock, nsPerTick(clock), {}, {}};
  // Written now, before the memory is locked and long before any timed region.
  run.library_samples.assign(calls, 0);
  run.kernel_samples.assign(calls, 0);
  const std::string locked = mlockall(MCL_CURRENT | MCL_FUTURE) == 0
                                 ? "memory locked"
                                 : std::string("memory not locked (mlockall: ") + std::strerror(errno) + ")";

  // The timer alone: an empty timed region.
  auto nothing = [] {};
  for (std::size_t offset = 0; offset < calls; offset += kSlice) {
    const std::size_t count = std::min(kSlice, calls - offset);
    if (clock == ClockKind::Tsc) {
      timeCalls<ClockKind::Tsc>(nothing, run.kernel_samples, offset, count);
    } else {
      timeCalls<ClockKind::Monotonic>(nothing, run.kernel_samples, offset, count);
    }
  }
  const Figures timer = figuresOf(run.kernel_samples, run.ns_per_tick);
  run.timer_mean = timer.mean;

  std::printf("Latency of one control cycle (ns), %zu single calls per block, case and side;\n%s, %s, %s.\n",
              calls, pinned.c_str(), locked.c_str(), scheduling.c_str());
  if (clock == ClockKind::Tsc) {
    std::printf("Clock: time-stamp counter, %.4f GHz (calibrated against CLOCK_MONOTONIC_RAW)",
                1.0 / run.ns_per_tick);
  } else {
    std::printf("Clock: clock_gettime(CLOCK_MONOTONIC)");
  }
  std::printf(", step %.1f ns.\n", stepOf(run.kernel_samples, run.ns_per_tick));
  std::printf("Case moving: entries in the moving frame where the block allows, the transform given each\n"
              "cycle; fixed: entries in the fixed frame, no transform. Side library: the block's update;\n"
              "kernel: the reference kernel of the same arithmetic. Every figure includes the timer's\n"
              "overhead (row timer: an empty timed region). mean99: mean of the fastest 99 %% of the calls;\n"
              "mean net: mean99 less the timer's; lib/ker: the library's mean net over the kernel's.\n\n");
  printHeader();
  printRow("timer", "-", "-", timer, run.timer_mean, nullptr);

  runBlock<Wrench>(run, "wrench");
  runBlock<Twist>(run, "twist");
  runBlock<Imu>(run, "imu");
  runBlock<Pose>(run, "pose");
  if (!run.all_ok) {
    std::printf("\nA library update was not Ok (rows marked library!).\n");
    return 1;
  }
  return 0;
}
