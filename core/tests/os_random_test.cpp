// The operating system random source: every source fills and differs, a
// forked child never repeats its parent's bytes, threads leave no vDSO state
// behind (and draw without it once it is gone), the /dev/urandom descriptor
// survives the application closing or reusing its number, and the one read
// loop of every source. What needs Linux alone (seccomp filters, the vDSO
// beside the C library's view of it) is in platform_linux_test.cpp.
#include <gtest/gtest.h>

#include "platform.hpp"

#if KELVORA_POSIX
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "keys/os_random.hpp"
#include "keys/os_random_sources.hpp"
#include "keys/vdso_random.hpp"

namespace kelvora {
namespace {

TEST(OsRandom, EveryPathFillsAndDiffers) {
  std::vector<bool (*)(std::span<std::uint8_t>)> paths = {
      [](std::span<std::uint8_t> out) { return fill_os_random(out), true; }};
#if KELVORA_POSIX
  paths.push_back(os_random::fill_from_urandom);
  if (os_random::getrandom_usable()) paths.push_back(os_random::fill_from_getrandom);
  if (os_random::getrandom_usable() && vdso_random::usable())
    paths.push_back(os_random::fill_from_vdso);
#endif
  for (auto fill : paths) {
    std::array<std::uint8_t, 64> a{}, b{};
    EXPECT_TRUE(fill(a));
    EXPECT_TRUE(fill(b));
    EXPECT_NE(a, b);
    EXPECT_NE(a, (std::array<std::uint8_t, 64>{}));
  }
}

#if KELVORA_POSIX

// Bytes a forked child draws after its parent has drawn, next to the
// parent's own next bytes: a thread's state copied into the child would make
// the two equal.
TEST(OsRandom, AForkedChildNeverRepeatsItsParentsBytes) {
  using Draw = std::array<std::uint8_t, 32>;
  Draw before{}, parent{}, child{};
  fill_os_random(before);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Draw got{};
    fill_os_random(got);
    ::_exit(::write(pipe_fds[1], got.data(), got.size()) == ssize_t(got.size()) ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  fill_os_random(parent);
  const ssize_t read = ::read(pipe_fds[0], child.data(), child.size());
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(read, ssize_t(child.size()));
  EXPECT_NE(child, parent);
  EXPECT_NE(child, before);
}

// The kernel's size of this process's mappings, in KiB.
long mapped_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

// Draws once more when its thread ends, after the thread's vDSO state (made
// by a later first draw, so destroyed before this) is gone.
struct LateDraw {
  std::array<std::uint8_t, 32> got{};
  ~LateDraw() {
    fill_os_random(got);
    if (got != decltype(got){}) g_late_draws.fetch_add(1);
  }
  static inline std::atomic<int> g_late_draws{0};
};

// A thread's state for the vDSO goes with the thread: threads that draw and
// end, one after another, leave no mapping behind, and a draw made after
// the state is gone (from a later thread-exit destructor) still gets bytes,
// without the state. (The system call keeps no state; under emulation the
// process's size is the emulator's own.)
TEST(OsRandom, ThreadsThatEndLeaveNoStateBehind) {
  if (!vdso_random::usable()) GTEST_SKIP() << "no getrandom in the vDSO: no per-thread state";
  auto draw_in_a_thread = [] {
    std::thread([] {
      thread_local LateDraw late;
      late.got.fill(0);
      std::array<std::uint8_t, 32> got{};
      fill_os_random(got);
    }).join();
  };
  for (int i = 0; i < 4; ++i) draw_in_a_thread();  // the C library's per-thread set-up
  const long before = mapped_kib();
  ASSERT_GT(before, 0);
  constexpr int kThreads = 512;
  for (int i = 0; i < kThreads; ++i) draw_in_a_thread();
  EXPECT_LT(mapped_kib() - before, kThreads * 4 / 2) << "KiB grown over " << kThreads << " threads";
  EXPECT_EQ(LateDraw::g_late_draws.load(), kThreads + 4);
}
#endif

#if KELVORA_POSIX  // descriptors and /dev/urandom
// The descriptors of this process that name `path`.
std::set<int> descriptors_of(const std::string& path) {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path)
      fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

// The application may close the descriptor kept for /dev/urandom
// (os.closerange) or make its number name another file (dup2, here onto
// /dev/zero): the next draw must come from /dev/urandom again, and the
// number, no longer ours, is left as the application made it.
TEST(OsRandom, UrandomDescriptorTakenOverOrClosedIsOpenedAgain) {
  const std::array<std::uint8_t, 32> zeros{};
  std::array<std::uint8_t, 32> got{};
  ASSERT_TRUE(os_random::fill_from_urandom(got));
  const std::set<int> kept_fds = descriptors_of("/dev/urandom");
  ASSERT_EQ(kept_fds.size(), 1u) << "nothing else here keeps /dev/urandom open";
  const int kept = *kept_fds.begin();

  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  ASSERT_EQ(::dup2(zero, kept), kept);
  ::close(zero);
  got.fill(0);
  EXPECT_TRUE(os_random::fill_from_urandom(got));
  EXPECT_NE(got, zeros) << "read /dev/zero through the taken-over number";
  EXPECT_EQ(descriptors_of("/dev/zero").count(kept), 1u);

  // Closed outright, the new descriptor and the number: it names nothing.
  for (int fd : descriptors_of("/dev/urandom")) ::close(fd);
  ::close(kept);
  got.fill(0);
  EXPECT_TRUE(os_random::fill_from_urandom(got));
  EXPECT_NE(got, zeros);
}
#endif

// A scripted read: each step either returns a count (filling that many
// bytes with a running counter) or fails with an errno.
struct Step {
  long result;
  int err;
};

bool run_script(std::vector<Step> script, std::size_t size, Bytes* out) {
  Bytes buf(size);
  std::size_t next = 0;
  std::uint8_t counter = 1;
  auto read = [&](std::uint8_t* p, std::size_t n) -> long {
    if (next >= script.size()) return 0;
    const Step s = script[next++];
    if (s.result < 0) {
      errno = s.err;
      return -1;
    }
    for (long k = 0; k < std::min<long>(s.result, long(n)); ++k) p[k] = counter++;
    return s.result;
  };
  const bool filled = os_random::read_in_full(buf, read);
  if (out) *out = buf;
  return filled;
}

TEST(OsRandom, ReadLoopRetriesInterruptsAndContinuesShortReads) {
  Bytes got;
  EXPECT_TRUE(run_script({{-1, EINTR}, {5, 0}, {-1, EINTR}, {27, 0}}, 32, &got));
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], k + 1);
}

TEST(OsRandom, ReadLoopFailures) {
  const std::vector<std::vector<Step>> scripts = {
      {{-1, EIO}},            // any error other than EINTR
      {{8, 0}, {-1, EAGAIN}},  // after a partial fill too
      {{33, 0}},              // more than asked for
      {{30, 0}, {3, 0}},      // more than the rest
      {{0, 0}},               // an empty read would never finish
  };
  for (const auto& s : scripts) EXPECT_FALSE(run_script(s, 32, nullptr));
}

}  // namespace
}  // namespace kelvora
