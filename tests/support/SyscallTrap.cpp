#include "support/SyscallTrap.h"
#include "platform/Sanitizers.h"

#include <atomic>
#include <csignal>

#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#endif

namespace qm::test {

namespace {

std::atomic<long> calls_{0};
std::atomic<bool> counting{false};

#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
struct sigaction previous {};

void onTrap(int, siginfo_t*, void* context) {
    if (counting.load(std::memory_order_relaxed)) calls_.fetch_add(1);
    auto* uc = static_cast<ucontext_t*>(context);
    uc->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
}
#endif

}  // namespace

SyscallTrap::SyscallTrap() {
#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
    struct sigaction sa {};
    sa.sa_sigaction = onTrap;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGSYS, &sa, &previous);
#endif
}

SyscallTrap::~SyscallTrap() {
    counting = false;
#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
    sigaction(SIGSYS, &previous, nullptr);
#endif
}

bool SyscallTrap::trapThisThread() {
#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigreturn, 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_madvise, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_munmap, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
#else
    return false;
#endif
}

void SyscallTrap::startCounting() {
    calls_ = 0;
    counting = true;
}

void SyscallTrap::stopCounting() { counting = false; }

long SyscallTrap::calls() const { return calls_.load(); }

}  // namespace qm::test
