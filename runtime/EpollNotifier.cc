// The epoll notifier: file handlers, the wait for events, the alert.
#include "runtime/EpollNotifier.hh"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The notifier of this thread: created by the library's Tcl_InitNotifier
// on every thread that uses the library, deleted by Tcl_FinalizeNotifier.
thread_local EpollNotifier* ourNotifier = nullptr;
bool isInstalled = false;

// Readiness reported by one wait; more ready descriptors are reported by
// the next wait (the kernel moves reported ones to the back of its list).
constexpr int MAX_EVENTS = 64;

// The event queued for a ready descriptor. It names the descriptor, not
// the handler: the handler may be deleted or replaced while the event
// waits in the queue.
struct FileEvent {
  Tcl_Event header;
  int fd;
};

uint32_t epollEventsOf(int mask) {
  uint32_t events = 0;
  if (mask & TCL_READABLE) events |= EPOLLIN;
  if (mask & TCL_WRITABLE) events |= EPOLLOUT;
  if (mask & TCL_EXCEPTION) events |= EPOLLPRI;
  return events;
}

// The conditions a descriptor is in, as select reports them: an error or
// a hang-up makes it readable and writable (a read or write then tells).
int tclMaskOf(uint32_t events) {
  int mask = 0;
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) mask |= TCL_READABLE;
  if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) mask |= TCL_WRITABLE;
  if (events & EPOLLPRI) mask |= TCL_EXCEPTION;
  return mask;
}

[[noreturn]] void fatal(char const* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

void EpollNotifier::install() {
  static Tcl_NotifierProcs procs = {setTimer,          waitForEvent,   createFileHandler,
                                    deleteFileHandler, initNotifier,   finalizeNotifier,
                                    alertNotifier,     serviceModeHook};
  Tcl_SetNotifier(&procs);
  isInstalled = true;
}

bool EpollNotifier::installed() { return isInstalled; }

void EpollNotifier::renewDescriptor(int fd) {
  EpollNotifier* self = ourNotifier;
  Handler* handler = self != nullptr ? self->handlerFor(fd) : nullptr;
  if (handler == nullptr) return;
  self->unwatch(fd, *handler);
  self->watch(fd, *handler);
}

// The epoll set and the alert descriptor, both closed on exec. Without
// them the event loop cannot run at all: that is fatal.
EpollNotifier::EpollNotifier() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) fatal("veldra: epoll_create1");
  alertFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (alertFd_ < 0) fatal("veldra: eventfd");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = alertFd_;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, alertFd_, &event) != 0) fatal("veldra: epoll_ctl");
}

EpollNotifier::~EpollNotifier() {
  close(alertFd_);
  close(epollFd_);
}

// The handler of fd, or nullptr when it has none.
EpollNotifier::Handler* EpollNotifier::handlerFor(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= handlers_.size()) return nullptr;
  Handler& handler = handlers_[static_cast<size_t>(fd)];
  return handler.exists ? &handler : nullptr;
}

// Registers the handler's conditions with the kernel. The kernel may know
// the descriptor under an older registration, or not at all although we
// think it does (the file was closed and the number reused): both are
// tried. A file that epoll cannot watch is always ready, as select has it.
void EpollNotifier::watch(int fd, Handler& handler) {
  if (handler.mask == 0) return unwatch(fd, handler);
  if (handler.alwaysReady) {
    if ((handler.mask & (TCL_READABLE | TCL_WRITABLE)) == 0) unwatch(fd, handler);
    return;
  }
  epoll_event event{};
  event.events = epollEventsOf(handler.mask);
  event.data.fd = fd;
  int const first = handler.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  int result = epoll_ctl(epollFd_, first, fd, &event);
  if (result != 0 && (errno == ENOENT || errno == EEXIST)) {
    result =
        epoll_ctl(epollFd_, first == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
  }
  if (result == 0) {
    handler.inEpoll = true;
  } else if (errno == EPERM && (handler.mask & (TCL_READABLE | TCL_WRITABLE)) != 0) {
    handler.inEpoll = false;
    handler.alwaysReady = true;
    alwaysReady_.push_back(fd);
  }
  // Any other failure (EBADF: a closed descriptor) leaves it unwatched, as
  // select would never report it either.
}

void EpollNotifier::unwatch(int fd, Handler& handler) {
  if (handler.inEpoll) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);  // may be closed already
  handler.inEpoll = false;
  if (handler.alwaysReady) {
    alwaysReady_.erase(std::remove(alwaysReady_.begin(), alwaysReady_.end(), fd),
                       alwaysReady_.end());
    handler.alwaysReady = false;
  }
}

// Queues an event for a descriptor found ready in the given conditions,
// unless one is queued already (its handler has not run since).
void EpollNotifier::noteReady(int fd, Handler& handler, int mask) {
  if (handler.readyMask == 0) {
    auto* event = reinterpret_cast<FileEvent*>(Tcl_Alloc(sizeof(FileEvent)));
    event->header.proc = fileEventProc;
    event->fd = fd;
    Tcl_QueueEvent(&event->header, TCL_QUEUE_TAIL);
  }
  handler.readyMask = mask;
}

// Waits at most *timePtr (for ever without it) for a watched descriptor to
// become ready or for an alert, and queues an event for each ready one.
// Returns 1 when an alert or a signal ended the wait: the event loop then
// returns to its caller, which runs asynchronous handlers first (a signal
// handler's Tcl_AsyncMark alerts us). Returns 0 otherwise, never -1: with
// nothing to watch it waits for an alert, as the library's own notifier
// does for another thread's events.
int EpollNotifier::wait(Tcl_Time const* timePtr) {
  timespec timeout{};
  timespec* timeoutPtr = nullptr;
  if (timePtr != nullptr) {
    timeout.tv_sec = timePtr->sec;
    timeout.tv_nsec = timePtr->usec * 1000;
    timeoutPtr = &timeout;
  }
  if (!alwaysReady_.empty()) {  // no waiting: they are ready
    timeout = timespec{};
    timeoutPtr = &timeout;
  }

  epoll_event events[MAX_EVENTS];
  static bool havePwait2 = true;
  int count = -1;
  if (havePwait2) {
    count = epoll_pwait2(epollFd_, events, MAX_EVENTS, timeoutPtr, nullptr);
    if (count < 0 && errno == ENOSYS) havePwait2 = false;
  }
  if (!havePwait2) {
    // Milliseconds, rounded up: never wake before a timer is due.
    long long ms = -1;
    if (timeoutPtr != nullptr) ms = timeout.tv_sec * 1000LL + (timeout.tv_nsec + 999999) / 1000000;
    count = epoll_wait(epollFd_, events, MAX_EVENTS, static_cast<int>(std::min(ms, 1LL << 30)));
  }
  if (count < 0) return errno == EINTR ? 1 : 0;

  int woken = 0;
  for (int i = 0; i < count; ++i) {
    int const fd = events[i].data.fd;
    if (fd == alertFd_) {
      uint64_t alerts;
      while (read(alertFd_, &alerts, sizeof alerts) > 0) {
      }
      woken = 1;
      continue;
    }
    Handler* handler = handlerFor(fd);
    if (handler == nullptr || !handler->inEpoll) {
      // A registration we no longer want (the handler went while the
      // descriptor was closed): drop it if the kernel still lets us.
      epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
      continue;
    }
    int const mask = tclMaskOf(events[i].events);
    if ((mask & handler->mask) == 0) {
      // Only a hang-up or an error, which the kernel reports whether asked
      // or not, on a descriptor watched for exceptions alone: select would
      // not report it, and level-triggered it would wake every wait.
      unwatch(fd, *handler);
      continue;
    }
    noteReady(fd, *handler, mask);
  }
  for (int fd : alwaysReady_) {
    Handler* handler = handlerFor(fd);
    int const mask = handler != nullptr ? handler->mask & (TCL_READABLE | TCL_WRITABLE) : 0;
    if (mask != 0) noteReady(fd, *handler, mask);
  }
  return woken;
}

// Only an event loop of another program would need told when to call the
// library; ours is always the library's own Tcl_DoOneEvent, which hands
// the timeout to waitForEvent.
void EpollNotifier::setTimer(Tcl_Time const*) {}

int EpollNotifier::waitForEvent(Tcl_Time const* timePtr) {
  EpollNotifier* self = ourNotifier;
  return self != nullptr ? self->wait(timePtr) : -1;
}

// Watches fd for the conditions in mask, replacing any earlier handler of
// fd (whose readiness, if an event is queued, is kept: the event then runs
// the new handler for the conditions it watches).
void EpollNotifier::createFileHandler(int fd, int mask, Tcl_FileProc* proc, ClientData clientData) {
  EpollNotifier* self = ourNotifier;
  if (self == nullptr || fd < 0) return;
  if (static_cast<size_t>(fd) >= self->handlers_.size()) {
    self->handlers_.resize(std::max(static_cast<size_t>(fd) + 1, self->handlers_.size() * 2));
  }
  Handler& handler = self->handlers_[static_cast<size_t>(fd)];
  if (!handler.exists) handler = Handler{};
  handler.exists = true;
  handler.proc = proc;
  handler.clientData = clientData;
  handler.mask = mask;
  self->watch(fd, handler);
}

// Forgets the handler of fd; an event already queued for it finds nothing
// and calls nothing. Nothing happens when fd has no handler.
void EpollNotifier::deleteFileHandler(int fd) {
  EpollNotifier* self = ourNotifier;
  Handler* handler = self != nullptr ? self->handlerFor(fd) : nullptr;
  if (handler == nullptr) return;
  self->unwatch(fd, *handler);
  *handler = Handler{};
}

// Called by the library for every thread that starts using it (and again
// for a thread already using it, which then keeps its notifier).
ClientData EpollNotifier::initNotifier() {
  if (ourNotifier == nullptr) ourNotifier = new EpollNotifier;
  ++ourNotifier->uses_;
  return ourNotifier;
}

void EpollNotifier::finalizeNotifier(ClientData clientData) {
  auto* self = static_cast<EpollNotifier*>(clientData);
  if (self == nullptr || self != ourNotifier || --self->uses_ > 0) return;
  ourNotifier = nullptr;
  delete self;
}

// Wakes the thread of that notifier from its wait, or makes its next wait
// return at once. Safe from any thread and from a signal handler: one
// write to the eventfd.
void EpollNotifier::alertNotifier(ClientData clientData) {
  auto* self = static_cast<EpollNotifier*>(clientData);
  if (self == nullptr) return;
  int const savedErrno = errno;
  uint64_t const one = 1;
  ssize_t const written = write(self->alertFd_, &one, sizeof one);
  (void)written;  // a full counter (EAGAIN) means alerted already
  errno = savedErrno;
}

// The service mode matters to notifiers that serve another program's event
// loop; this one serves only the library's.
void EpollNotifier::serviceModeHook(int) {}

// Runs the handler of a ready descriptor for the conditions it still
// watches. Readiness lives in the handler, so that a handler deleted, or a
// descriptor closed and opened again, while the event waited is not
// called for what the old one saw.
int EpollNotifier::fileEventProc(Tcl_Event* event, int flags) {
  if (!(flags & TCL_FILE_EVENTS)) return 0;  // stays queued
  EpollNotifier* self = ourNotifier;
  int const fd = reinterpret_cast<FileEvent*>(event)->fd;
  Handler* handler = self != nullptr ? self->handlerFor(fd) : nullptr;
  if (handler == nullptr) return 1;
  int const mask = handler->readyMask & handler->mask;
  handler->readyMask = 0;
  // Taken first: the handler may change the table.
  Tcl_FileProc* proc = handler->proc;
  ClientData clientData = handler->clientData;
  if (mask != 0) proc(clientData, mask);
  return 1;
}
