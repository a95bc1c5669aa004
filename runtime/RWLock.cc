// The signal-deferring lock.
#include "runtime/RWLock.hh"

#include <signal.h>

namespace {

// The signals a held lock defers: the alarm signal only. Made on first use
// and never released.
sigset_t const& deferredSignals() {
  static sigset_t const set = [] {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGALRM);
    return s;
  }();
  return set;
}

}  // namespace

RWLock::RWLock() : locked(0) { deferredSignals(); }

RWLock::~RWLock() {}

// Blocks the alarm signal and records that the lock is held.
void RWLock::rwLock() { rLock(); }

// The same as rwLock: there is no shared mode.
void RWLock::rLock() const {
  sigprocmask(SIG_BLOCK, &deferredSignals(), nullptr);
  locked = 1;
}

// Unblocks the alarm signal at once, however often the lock was taken.
void RWLock::unlock() const {
  locked = 0;
  sigprocmask(SIG_UNBLOCK, &deferredSignals(), nullptr);
}
