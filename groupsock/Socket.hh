// A datagram socket that owns its descriptor, and the one background read
// handler through which the event loop reads any socket.
#ifndef VELDRA_GROUPSOCK_SOCKET_HH
#define VELDRA_GROUPSOCK_SOCKET_HH

#include <netinet/in.h>

#include "groupsock/NetInterface.hh"
#include "groupsock/Port.hh"

class Socket : public NetInterface {
 public:
  ~Socket() override;  // closes the descriptor

  // Reads one datagram into buffer and acts on it. False when the
  // environment's result message should become a background error.
  virtual bool handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                          sockaddr_in& fromAddress) = 0;

  // Reading by the event loop (socketReadHandler). A socket that names a
  // size here is read in batches, each datagram of at most that many bytes
  // handed to handleDatagram in a buffer of IO_BUFFER_SIZE bytes of its
  // own; one that names 0 (the default) is read through handleRead, one
  // datagram per readiness event.
  virtual unsigned batchReadSize() const { return 0; }
  // Acts on one datagram read in a batch: size bytes (0 for an empty
  // datagram) from fromAddress, at the start of a writable buffer of
  // bufferMaxSize bytes. Result as handleRead.
  virtual bool handleDatagram(unsigned char* buffer, unsigned bufferMaxSize, unsigned size,
                              sockaddr_in& fromAddress);
  // A batch read failed; the environment's result message says why
  // ("recvfrom() error: ..."). Result as handleRead; by default the failure
  // is not reported.
  virtual bool handleReadFailure() { return true; }

  int socketNum() const { return descriptor; }  // negative when set-up failed
  Port port() const { return port_; }           // as constructed, never changed
  UsageEnvironment& env() const { return *env_; }

  void reset();  // closes the descriptor and sets it to -1

  // Trace level of sockets, groupsocks and the tunnel socket; 1 at start.
  static int DebugLevel;

 protected:
  Socket(UsageEnvironment& env, Port port);

  // Replaces the descriptor by one bound to newPort, keeping buffer sizes.
  bool changePort(Port newPort);

 private:
  int descriptor;
  UsageEnvironment* env_;
  Port port_;
};

// The trace prefix: the clock text, " Socket(", the descriptor, ")".
UsageEnvironment& operator<<(UsageEnvironment& env, Socket const& sock);

// The size of the buffer the read handler shares among all sockets: 51200
// bytes of datagram and room for a 16-byte relay trailer behind them.
constexpr unsigned MAX_DATAGRAM_SIZE = 51200;
constexpr unsigned IO_BUFFER_SIZE = MAX_DATAGRAM_SIZE + 16;

// Datagrams a socket read in batches is given per readiness event, at most:
// one busy socket leaves the event loop to the others (and to timers)
// after that many, and is read again on its next turn.
constexpr unsigned MAX_DATAGRAMS_PER_EVENT = 64;

// The background read handler (a BackgroundHandlerProc, the Socket* as client
// data): reads what is waiting, up to MAX_DATAGRAMS_PER_EVENT datagrams in
// one system call, into the buffers the event loop shares among all
// sockets, and has the socket act on each (or reads one datagram through
// handleRead, for a socket not read in batches). Every false result becomes
// a background error. When the socket is deleted by what it does with a
// datagram, the rest of the batch is dropped with it.
void socketReadHandler(void* socket, int mask);

#endif
