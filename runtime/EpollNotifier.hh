// The interpreter library's notifier, replaced by one of our own: file
// handlers watched with epoll and dispatched on the thread that waits, a
// single thread with no helper thread, pipe or lock on the way from a
// readable socket to its handler.
//
// The library's own notifier on this platform is built for threads: a
// notifier thread selects on every descriptor and hands each readiness to
// the waiting thread through a pipe and a condition variable, which costs
// two selects, several futex calls and two context switches per event.
// This one keeps the library's contract (Tcl_CreateFileHandler,
// Tcl_DeleteFileHandler, Tcl_WaitForEvent, Tcl_AlertNotifier; see the
// Notifier manual page) and nothing else changes for scripts: channels,
// fileevent, after, vwait, update, socket -server and exec work as before.
//
// Differences that are not visible to scripts: descriptors of any number
// may be watched (no fd_set limit); a regular file, which epoll cannot
// watch, counts as always ready, as select has it.
#ifndef VELDRA_RUNTIME_EPOLLNOTIFIER_HH
#define VELDRA_RUNTIME_EPOLLNOTIFIER_HH

#include <tcl.h>

#include <vector>

class EpollNotifier {
 public:
  // Makes this the library's notifier for every thread that initialises
  // the library afterwards. To be called once, before the first call into
  // the library (Tcl_FindExecutable); replacing a running notifier is not
  // supported by the library.
  static void install();
  // Whether install() has been called.
  static bool installed();

  // Tells the notifier that the descriptor number fd, which has a file
  // handler, now names another open file: it was closed and the number
  // reused without the handler being deleted and created again (a socket
  // rebound in place with dup2). The kernel watches open files, not
  // numbers, so the handler is registered afresh. Does nothing when fd has
  // no handler or this notifier is not installed.
  static void renewDescriptor(int fd);

 private:
  // One descriptor's file handler, as Tcl_CreateFileHandler gave it.
  struct Handler {
    Tcl_FileProc* proc = nullptr;
    ClientData clientData = nullptr;
    int mask = 0;       // conditions watched: TCL_READABLE, TCL_WRITABLE, TCL_EXCEPTION
    int readyMask = 0;  // conditions seen ready; non-zero while an event is queued
    bool exists = false;
    bool inEpoll = false;      // registered with the kernel
    bool alwaysReady = false;  // a file epoll cannot watch (a regular file)
  };

  EpollNotifier();
  ~EpollNotifier();
  EpollNotifier(EpollNotifier const&) = delete;
  EpollNotifier& operator=(EpollNotifier const&) = delete;

  Handler* handlerFor(int fd);
  void watch(int fd, Handler& handler);
  void unwatch(int fd, Handler& handler);
  void noteReady(int fd, Handler& handler, int mask);
  int wait(Tcl_Time const* timePtr);

  // The entries of Tcl_NotifierProcs.
  static void setTimer(Tcl_Time const* timePtr);
  static int waitForEvent(Tcl_Time const* timePtr);
  static void createFileHandler(int fd, int mask, Tcl_FileProc* proc, ClientData clientData);
  static void deleteFileHandler(int fd);
  static ClientData initNotifier();
  static void finalizeNotifier(ClientData clientData);
  static void alertNotifier(ClientData clientData);
  static void serviceModeHook(int mode);
  // The procedure of the events queued for ready descriptors.
  static int fileEventProc(Tcl_Event* event, int flags);

  int epollFd_ = -1;
  int alertFd_ = -1;               // an eventfd in the epoll set: written to wake a wait
  std::vector<Handler> handlers_;  // by descriptor number
  std::vector<int> alwaysReady_;   // descriptors of always-ready handlers
  unsigned uses_ = 0;              // initNotifier calls not yet finalised
};

#endif
