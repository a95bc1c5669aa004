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

  int socketNum() const { return descriptor; }  // negative when set-up failed
  Port port() const { return port_; }            // as constructed, never changed
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

// The background read handler (a BackgroundHandlerProc, the Socket* as client
// data): reads one datagram into the shared buffer through the socket's
// handleRead, and turns a false result into a background error.
void socketReadHandler(void* socket, int mask);

#endif
