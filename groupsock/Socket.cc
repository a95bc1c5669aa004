// Sockets that own their descriptor, and the shared background read handler.
#include "groupsock/Socket.hh"

#include <unistd.h>

#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

int Socket::DebugLevel = 1;

namespace {

// The one read buffer of every socket read from the event loop: a datagram
// of up to MAX_DATAGRAM_SIZE bytes and the relay trailer a groupsock appends
// behind it. The event loop runs one handler at a time and no handler
// re-enters it while the buffer is in use, so sharing needs no lock.
unsigned char ioBuffer[IO_BUFFER_SIZE];

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
  if (descriptor >= 0) ::close(descriptor);
}

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

// Called by the event loop when a registered socket is readable: lets the
// socket read and handle one datagram in the shared buffer, and turns a
// false result into a background error. The environment is taken first:
// handleRead may delete the socket (a tunnel socket whose last tunnel was
// torn down), and the environment outlives every socket.
void socketReadHandler(void* socket, int /*mask*/) {
  Socket* sock = static_cast<Socket*>(socket);
  UsageEnvironment& env = sock->env();
  unsigned bytesRead = 0;
  sockaddr_in fromAddress{};
  if (!sock->handleRead(ioBuffer, IO_BUFFER_SIZE, bytesRead, fromAddress)) {
    env.reportBackgroundError();
  }
}
