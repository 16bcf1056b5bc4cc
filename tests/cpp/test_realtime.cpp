// The per-cycle path makes no system call. For each block kind a child process configures a
// block, runs its warm-up cycles, then enters seccomp strict mode, in which the kernel permits
// only read, write, _exit and sigreturn, and runs many cycles. Any other system call (memory
// from the kernel, a futex of a contended lock, a clock read, exit_group) kills the child with
// SIGKILL; the parent requires a normal exit with status 0. The refusal path may write its
// diagnostic line, which strict mode permits; the parent reads the lines from a pipe.
//
// The child leaves with the raw exit system call: _exit and exit end in exit_group, which strict
// mode forbids, and they would run the sanitizer runtime's exit work.

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>

#include "test_support.hpp"

namespace kivo_test {
namespace {

constexpr int kStrictCycles = 100000;
constexpr int kStrictRefusals = 3;

// Exit statuses of the child; 0 is success.
enum ChildStatus : int {
  kWarmUpNotOk = 10,
  kSeccompUnavailable = 11,
  kCycleNotOk = 12,
  kOutputChanged = 13,
  kRefusalNotNotReady = 14,
};

// Not declared [[noreturn]]: AddressSanitizer precedes every call of a no-return function with a
// check of the signal stack (sigaltstack), a system call.
void exitThread(int status) noexcept { ::syscall(SYS_exit, status); }

// Strict mode through the raw system call: a sanitizer's prctl interceptor may do work of its
// own after the mode is set.
bool enterStrictMode() noexcept {
  return ::syscall(SYS_prctl, PR_SET_SECCOMP, SECCOMP_MODE_STRICT, 0, 0, 0) == 0;
}

std::string describe(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    const int signal = WTERMSIG(wait_status);
    return "killed by signal " + std::to_string(signal) +
           (signal == SIGKILL ? " (a forbidden system call under seccomp strict mode)" : "");
  }
  if (!WIFEXITED(wait_status)) return "stopped, status " + std::to_string(wait_status);
  switch (WEXITSTATUS(wait_status)) {
    case 0: return "exit 0";
    case kWarmUpNotOk: return "the warm-up cycle was not Ok";
    case kSeccompUnavailable: return "seccomp strict mode unavailable";
    case kCycleNotOk: return "a cycle under strict mode was not Ok";
    case kOutputChanged: return "a cycle under strict mode gave another output than its warm-up";
    case kRefusalNotNotReady: return "a refusal did not return NotReady";
    default: return "exit " + std::to_string(WEXITSTATUS(wait_status));
  }
}

// Runs `child` (which never returns) in a forked process with its standard error stream on a
// pipe; returns the wait status and everything the child wrote there.
template <class Child>
std::pair<int, std::string> runForked(Child&& child) {
  int fds[2];
  if (::pipe(fds) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    child();
    exitThread(1);
  }
  ::close(fds[1]);
  std::string written;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    written.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) ADD_FAILURE() << "fork/waitpid: " << std::strerror(errno);
  return {status, written};
}

template <class T>
class StrictModeCycle : public testing::Test {};
TYPED_TEST_SUITE(StrictModeCycle, AllBlocks);

// Entries in both frames; a control loop that gives the transform every cycle and alternates
// between two transforms and two signals, each pair's output known from the warm-up.
TYPED_TEST(StrictModeCycle, OkPathMakesNoSystemCall) {
  using Block = typename TypeParam::Block;
  using Signal = typename TypeParam::Signal;
  const auto [status, written] = runForked([] {
    Block block(mixedConfig(Policy::StrictRt));
    const FrameTf tfs[2] = {kSomeTf, {0.2, 0.4, -1.0, kH, 0.0, 0.0, kH}};
    Signal in[2];
    Signal expected[2];
    for (int k = 0; k < 2; ++k) {
      for (std::size_t i = 0; i < in[k].size(); ++i) in[k][i] = 0.5 * static_cast<double>(i) - k;
      if constexpr (std::tuple_size_v<Signal> == 7) in[k][3] = 1.0, in[k][4] = in[k][5] = in[k][6] = 0.0;
      setTfIfAny(block, tfs[k]);
      if (block.update(in[k], expected[k]) != Code::Ok) exitThread(kWarmUpNotOk);
    }
    if (!enterStrictMode()) exitThread(kSeccompUnavailable);
    Signal out{};
    for (int cycle = 0; cycle < kStrictCycles; ++cycle) {
      const int k = cycle & 1;
      setTfIfAny(block, tfs[k]);
      if (block.update(in[k], out) != Code::Ok) exitThread(kCycleNotOk);
      if (std::memcmp(out.data(), expected[k].data(), sizeof out) != 0) exitThread(kOutputChanged);
    }
    exitThread(0);
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSeccompUnavailable) {
    GTEST_SKIP() << "seccomp strict mode is not available to this process";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
  EXPECT_EQ(written, "");
}

// A block with no entry refuses; after one warm-up refusal, each refusal under strict mode writes
// its whole line and returns NotReady.
TYPED_TEST(StrictModeCycle, RefusalWritesItsLineAndNothingElse) {
  using Block = typename TypeParam::Block;
  using Signal = typename TypeParam::Signal;
  const auto [status, written] = runForked([] {
    Block block{kivo::KivoTfConfig{}};
    const Signal in{};
    Signal out{};
    if (block.update(in, out) != Code::NotReady) exitThread(kRefusalNotNotReady);
    if (!enterStrictMode()) exitThread(kSeccompUnavailable);
    for (int i = 0; i < kStrictRefusals; ++i) {
      if (block.update(in, out) != Code::NotReady) exitThread(kRefusalNotNotReady);
    }
    exitThread(0);
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSeccompUnavailable) {
    GTEST_SKIP() << "seccomp strict mode is not available to this process";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
  std::string expected;
  for (int i = 0; i < 1 + kStrictRefusals; ++i) {
    expected += std::string(TypeParam::prefix) + ": update() called before all TF entries are set.\n";
  }
  EXPECT_EQ(written, expected);
}

// The test itself: a system call outside the four kills the child, which the parent sees.
TEST(StrictModeChild, ForbiddenSystemCallIsKilled) {
  const auto [status, written] = runForked([] {
    if (!enterStrictMode()) exitThread(kSeccompUnavailable);
    ::syscall(SYS_getpid);
    exitThread(0);
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSeccompUnavailable) {
    GTEST_SKIP() << "seccomp strict mode is not available to this process";
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << describe(status);
}

}  // namespace
}  // namespace kivo_test
