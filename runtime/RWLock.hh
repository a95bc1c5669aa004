// A lock that, in this single-threaded process, only defers the alarm signal
// while a data structure is being changed. It does not count: never nest it.
#ifndef VELDRA_RUNTIME_RWLOCK_HH
#define VELDRA_RUNTIME_RWLOCK_HH

class RWLock {
 public:
  RWLock();
  ~RWLock();

  void rwLock();
  void rLock() const;
  void unlock() const;
  bool isLocked() const { return locked != 0; }

 private:
  mutable int locked;
};

class ScopedRWLock {
 public:
  explicit ScopedRWLock(RWLock& lock) : held(lock) { held.rwLock(); }
  ~ScopedRWLock() { held.unlock(); }
  ScopedRWLock(ScopedRWLock const&) = delete;
  ScopedRWLock& operator=(ScopedRWLock const&) = delete;

 private:
  RWLock& held;
};

class ScopedRLock {
 public:
  explicit ScopedRLock(RWLock const& lock) : held(lock) { held.rLock(); }
  ~ScopedRLock() { held.unlock(); }
  ScopedRLock(ScopedRLock const&) = delete;
  ScopedRLock& operator=(ScopedRLock const&) = delete;

 private:
  RWLock const& held;
};

#endif
