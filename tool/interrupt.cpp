// SPDX-License-Identifier: GPL-2.0-or-later
// Interruption by SIGINT, SIGTERM or SIGHUP: the first signal asks the run to stop before its next
// block, so that it can say how far it got and leave its output marked; a second one is obeyed at
// once, for a user who does not want to wait.
#include <signal.h>

#include <atomic>

#include "snap_engine.h"

namespace {

std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");

constexpr int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_signal(int sig)
{
    int none = 0;
    if (caught.compare_exchange_strong(none, sig))
        return;
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

extern "C" void snap_signals_install(void)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : stopping_signals)
        ::sigaction(sig, &sa, nullptr);
}

extern "C" int snap_interrupt_signal(void) { return caught.load(std::memory_order_relaxed); }

extern "C" void snap_interrupt_clear(void) { caught.store(0, std::memory_order_relaxed); }
