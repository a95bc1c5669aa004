// Sockets that own their descriptor, and the shared background read handler.
#include "groupsock/Socket.hh"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

int Socket::DebugLevel = 1;

namespace {

// The read buffers of every socket read from the event loop, one per
// datagram of a batch: a datagram of up to MAX_DATAGRAM_SIZE bytes and the
// relay trailer a groupsock appends behind it. The first is also the one
// buffer of a socket read one datagram at a time. The event loop runs one
// handler at a time and no handler re-enters it while the buffers are in
// use, so sharing needs no lock.
unsigned char ioBuffers[MAX_DATAGRAMS_PER_EVENT][IO_BUFFER_SIZE];
sockaddr_in senders[MAX_DATAGRAMS_PER_EVENT];
iovec vectors[MAX_DATAGRAMS_PER_EVENT];
mmsghdr messages[MAX_DATAGRAMS_PER_EVENT];

// Reads up to MAX_DATAGRAMS_PER_EVENT datagrams of at most readSize bytes
// each from sock, without waiting: how many, or -1 with errno set.
int readBatch(int sock, unsigned readSize) {
  for (unsigned i = 0; i < MAX_DATAGRAMS_PER_EVENT; ++i) {
    vectors[i].iov_base = ioBuffers[i];
    vectors[i].iov_len = readSize;
    messages[i].msg_hdr = msghdr{};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  return recvmmsg(sock, messages, MAX_DATAGRAMS_PER_EVENT, MSG_DONTWAIT, nullptr);
}

// A read handler at work on a socket, in a chain of the handlers at work
// (one, unless a handler re-enters the event loop). The socket's
// destructor marks it, so that a handler whose socket was deleted by what
// it did with a datagram stops at once.
struct ReadInProgress {
  Socket* socket;
  bool alive;
  ReadInProgress* outer;
};
ReadInProgress* readsInProgress = nullptr;

}  // namespace

// Sets up a datagram socket on port (0: the system chooses one on first
// use). A failure leaves a negative descriptor and the set-up message in
// the environment; callers test socketNum().
Socket::Socket(UsageEnvironment& env, Port port)
    : descriptor(-1),
      env_(NetInterface::DefaultUsageEnvironment != nullptr ? NetInterface::DefaultUsageEnvironment
                                                            : &env),
      port_(port) {
  descriptor = setupDatagramSocket(*env_, port);
}

Socket::~Socket() {
  for (ReadInProgress* read = readsInProgress; read != nullptr; read = read->outer) {
    if (read->socket == this) read->alive = false;
  }
  if (descriptor >= 0) ::close(descriptor);
}

// A socket read in batches acts on each datagram; this one, read one
// datagram at a time, is never handed any.
bool Socket::handleDatagram(unsigned char*, unsigned, unsigned, sockaddr_in&) { return true; }

// Closes the descriptor and marks the socket as having none.
void Socket::reset() {
  if (descriptor >= 0) ::close(descriptor);
  descriptor = -1;
}

// Replaces the descriptor by a new socket bound to newPort, with the old
// one's receive and send buffer sizes. The port() stays the one the socket
// was constructed with: tables keyed by it must still find the socket.
//
// The new socket keeps the old descriptor number. Background read handling,
// the descriptor table of the groupsocks and the scripts' channel names all
// refer to the number; were it to change, the new socket would never be read
// and those would point at a closed (or reused) number.
//
// On failure the old socket is closed with its read handling off, the
// descriptor is negative and the set-up message stands in the environment.
bool Socket::changePort(Port newPort) {
  int const oldSocket = descriptor;
  unsigned const receiveBufferSize = getReceiveBufferSize(env(), oldSocket);
  unsigned const sendBufferSize = getSendBufferSize(env(), oldSocket);
  if (oldSocket >= 0) ::close(oldSocket);

  descriptor = setupDatagramSocket(env(), newPort);
  if (descriptor < 0) {
    env().getScheduler().setBackgroundHandling(oldSocket, 0, nullptr, nullptr);
    return false;
  }
  setReceiveBufferTo(env(), descriptor, receiveBufferSize);
  setSendBufferTo(env(), descriptor, sendBufferSize);

  if (descriptor != oldSocket) {
    // The system hands out the lowest free number, so a lower new one means
    // that the number just closed is still free; only then is it taken back.
    if (descriptor < oldSocket && ::dup2(descriptor, oldSocket) == oldSocket) {
      ::close(descriptor);
      descriptor = oldSocket;
    }
  }
  // The handling follows the number: the scheduler is told where it is now
  // (the same number naming a new socket, as a rule).
  env().getScheduler().moveSocketHandling(oldSocket, descriptor);
  return true;
}

// The trace prefix of a socket: clock text, " Socket(", descriptor, ")".
UsageEnvironment& operator<<(UsageEnvironment& env, Socket const& sock) {
  return env << timestampString() << " Socket(" << sock.socketNum() << ")";
}

// Called by the event loop when a registered socket is readable. The
// environment is taken first: the socket may be deleted by what it does
// with a datagram (a tunnel socket whose last tunnel was torn down, a
// groupsock whose last member went), and the environment outlives every
// socket. Nothing waiting (EAGAIN), or a refusal an earlier send brought
// back (ECONNREFUSED, EHOSTUNREACH), is no failure: readSocket agrees.
void socketReadHandler(void* socket, int /*mask*/) {
  Socket* sock = static_cast<Socket*>(socket);
  UsageEnvironment& env = sock->env();
  unsigned const readSize = sock->batchReadSize();
  if (readSize == 0) {
    unsigned bytesRead = 0;
    sockaddr_in fromAddress{};
    if (!sock->handleRead(ioBuffers[0], IO_BUFFER_SIZE, bytesRead, fromAddress)) {
      env.reportBackgroundError();
    }
    return;
  }

  ReadInProgress read{sock, true, readsInProgress};
  readsInProgress = &read;
  int const count =
      readBatch(sock->socketNum(), readSize < IO_BUFFER_SIZE ? readSize : IO_BUFFER_SIZE);
  if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED &&
      errno != EHOSTUNREACH) {
    env.setResultErrMsg("recvfrom() error: ");
    if (!sock->handleReadFailure()) env.reportBackgroundError();
  }
  for (int i = 0; i < count && read.alive; ++i) {
    if (!sock->handleDatagram(ioBuffers[i], IO_BUFFER_SIZE, messages[i].msg_len, senders[i])) {
      env.reportBackgroundError();
    }
  }
  readsInProgress = read.outer;
}
