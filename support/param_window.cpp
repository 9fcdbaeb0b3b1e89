// The write window's hold on signals: from its start to the process's exit,
// no request from outside may end the run between its first changed byte and
// its synced result, while a fault of its own still ends it at once.
#include <csignal>
#include <cstdint>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/param_file.h"

namespace {

// These report faults, so they are caught rather than blocked: the handler
// tells a real fault, which must end the run at once, from a forged report
// that a process sent.
constexpr int fault_signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// The kernel's signal set, as rt_sigprocmask takes it: one bit per signal.
using kernel_sigset = std::uint64_t;
static_assert(_NSIG - 1 == 8 * sizeof(kernel_sigset));

// Only async-signal-safe calls here. A code of zero or below means a
// process sent the signal (kill(2), sigqueue(3), tgkill(2), raise(3)), and
// the sender chooses the code below zero and the pid it claims, so nothing
// it says is trusted: such a signal forges a fault report and is dropped, as
// the stop requests that wait blocked are dropped at the exit. Only the
// kernel reports with a code above zero; that fault takes its default action
// now: the signal, raised again while it is blocked here, is delivered on
// return. The run's own abort() still ends it: when the handler returns,
// abort() restores the default action and raises SIGABRT again.
void on_fault_signal(int signal, siginfo_t* info, void*) {
  if (info->si_code <= 0) return;
  struct sigaction fatal {};
  fatal.sa_handler = SIG_DFL;
  sigemptyset(&fatal.sa_mask);
  sigaction(signal, &fatal, nullptr);
  raise(signal);
}

}  // namespace

void param_window_begin() {
  struct sigaction caught {};
  caught.sa_sigaction = on_fault_signal;
  // A write or sync that a dropped signal interrupts carries on.
  caught.sa_flags = SA_SIGINFO | SA_RESTART;
  sigfillset(&caught.sa_mask);
  for (int fault : fault_signals) sigaction(fault, &caught, nullptr);

  sigset_t held;
  sigfillset(&held);
  for (int fault : fault_signals) sigdelset(&held, fault);
  sigprocmask(SIG_BLOCK, &held, nullptr);

  // The C library keeps signals 32 and 33 for its threads and leaves them
  // out of any set it is given, yet their default ends the process: whatever
  // it left out of the full set is blocked through the system call itself.
  kernel_sigset refused = 0;
  for (int signal = 1; signal < _NSIG; ++signal) {
    if (sigismember(&held, signal) != 1) refused |= kernel_sigset{1} << (signal - 1);
  }
  for (int fault : fault_signals) refused &= ~(kernel_sigset{1} << (fault - 1));
  if (refused != 0) syscall(SYS_rt_sigprocmask, SIG_BLOCK, &refused, nullptr, sizeof refused);
}
