// A socket that sends with a remembered multicast time-to-live (set on the
// descriptor only when it changes) and learns its own source port.
#ifndef VELDRA_GROUPSOCK_OUTPUTSOCKET_HH
#define VELDRA_GROUPSOCK_OUTPUTSOCKET_HH

#include "groupsock/Socket.hh"

class OutputSocket : public Socket {
 public:
  explicit OutputSocket(UsageEnvironment& env);  // port chosen by the system
  OutputSocket(UsageEnvironment& env, Port port);

  // Sends one datagram to address (network order) and port.
  bool write(unsigned address, Port port, unsigned char ttl, unsigned char* buffer,
             unsigned bufferSize);

  // Reads nothing; a plain output socket has nothing to read.
  bool handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                  sockaddr_in& fromAddress) override;

  Port sourcePort() const { return sourcePort_; }  // 0 until the first write
  unsigned lastTTL() const { return lastTTL_; }    // 256 until the first write

 private:
  Port sourcePort_;
  unsigned lastTTL_;
};

#endif
