// What the core does on Linux alone: the random source in a sandbox whose
// seccomp filter refuses getrandom, the vDSO's entry point beside the C
// library's own view of the vDSO, and the pool's size under an affinity mask.
#if defined(__linux__)

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "failure.hpp"
#include "keys/os_random.hpp"
#include "keys/vdso_random.hpp"
#include "parallel/pool.hpp"

namespace kelvora {
namespace {

using Draw = std::array<std::uint8_t, 32>;

// From now on getrandom fails with `err` in this process (0: it answers with
// no bytes). False where no filter can be set (user-mode emulators).
bool refuse_getrandom(int err) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | std::uint32_t(err)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// fill_os_random's bytes, or its failure's message.
std::string draw(Draw& out) {
  try {
    fill_os_random(out);
    return "";
  } catch (const InternalFailure& f) {
    return f.message();
  }
}

constexpr int kNoFilter = 77;

// The sanitizers' runtime needs descriptors of its own (UBSan's type checks
// open a pipe), so their build never leaves the process without any.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In a forked child: draws under the filter, on a new thread (whose vDSO
// state needs the refused call at once) and on this one; then with
// /dev/urandom out of reach too (no descriptor left), and once more when it
// is back. The exit status names the first step that went wrong.
[[noreturn]] void draw_in_a_sandbox(int err, bool drew_before) {
  Draw before{}, fresh{}, again{};
  if (drew_before && !draw(before).empty()) _exit(1);
  if (!refuse_getrandom(err)) _exit(kNoFilter);
  std::string failure = "no draw";
  std::thread([&] { failure = draw(fresh); }).join();
  if (!failure.empty() || fresh == Draw{} || fresh == before) _exit(2);
  if (!draw(again).empty() || again == fresh) _exit(3);
  if (kSanitized) _exit(0);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  const rlimit none{3, limit.rlim_max};
  setrlimit(RLIMIT_NOFILE, &none);
  if (draw(again) != "OS RNG unavailable: OsRng") _exit(4);
  setrlimit(RLIMIT_NOFILE, &limit);
  _exit(draw(again).empty() && again != fresh ? 0 : 5);
}

struct Refusal {
  const char* name;
  int err;
  bool drew_before;  // else the first draw, and getrandom's probe, come under the filter
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class Sandbox : public testing::TestWithParam<Refusal> {};

// getrandom refused, at its probe or later: every draw comes from
// /dev/urandom, and fails only when /dev/urandom does.
TEST_P(Sandbox, RefusedGetrandomLeavesTheDrawsToUrandom) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) draw_in_a_sandbox(GetParam().err, GetParam().drew_before);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kNoFilter) GTEST_SKIP() << "no seccomp filter here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Seccomp, Sandbox,
                         testing::Values(Refusal{"EpermAtTheProbe", EPERM, false},
                                         Refusal{"Eperm", EPERM, true},
                                         Refusal{"Enosys", ENOSYS, true},
                                         Refusal{"Eacces", EACCES, true},
                                         Refusal{"NoBytes", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The entry point is found exactly where the C library's loader sees one in
// the vDSO.
TEST(Vdso, GetrandomFoundWhereTheCLibrarySeesIt) {
  void* vdso = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD);
  const bool seen = vdso != nullptr && (dlsym(vdso, "__vdso_getrandom") != nullptr ||
                                        dlsym(vdso, "__kernel_getrandom") != nullptr);
  EXPECT_EQ(vdso_random::usable(), seen);
}

// The pool's default size is the processors this thread may run on, not the
// machine's.
TEST(Pool, DefaultSizeFollowsTheAffinityMask) {
  cpu_set_t saved, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu)
    if (CPU_ISSET(cpu, &saved)) CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  parallel::set_thread_count_for_testing(0);
  const std::size_t threads = parallel::thread_count();
  sched_setaffinity(0, sizeof saved, &saved);
  parallel::set_thread_count_for_testing(0);
  EXPECT_EQ(threads, 1u);
}

}  // namespace
}  // namespace kelvora

#endif
