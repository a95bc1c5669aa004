// Socket set-up, one-datagram I/O, kernel buffer sizing, group membership
// and the local port, over raw IPv4 descriptors.
#include "groupsock/SocketHelpers.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "groupsock/GroupsockPrivate.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/UsageEnvironment.hh"

unsigned SendingInterfaceAddr = INADDR_ANY;
unsigned ReceivingInterfaceAddr = INADDR_ANY;

namespace {

// A new IPv4 socket of type with close-on-exec set, or -1. A kernel that
// does not know SOCK_CLOEXEC refuses it with EINVAL; then the flag is set
// separately.
int createSocket(int type) {
  int sock;
#ifdef SOCK_CLOEXEC
  sock = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (sock >= 0 || errno != EINVAL) return sock;
#endif
  sock = socket(AF_INET, type, 0);
  if (sock >= 0) fcntl(sock, F_SETFD, FD_CLOEXEC);
  return sock;
}

// Sets msg (completed with the system's text) as the result and closes the
// socket that a set-up function was building, leaving errno as the failure
// set it. Returns -1 for the set-up function to return.
int failSetup(UsageEnvironment& env, int sock, char const* msg) {
  env.setResultErrMsg(msg);
  int savedErrno = errno;
  close(sock);
  errno = savedErrno;
  return -1;
}

// The reuse flag of sockets set up through env. Reading it may create the
// record, so it is given back at once if nothing else holds it.
int reuseFlag(UsageEnvironment& env) {
  int flag = groupsockPriv(env)->reuseAddresses;
  reclaimGroupsockPriv(env);
  return flag;
}

// Binds sock to address and port (network order); the result of bind().
int bindTo(int sock, unsigned address, unsigned short portNum) {
  sockaddr_in name{};
  name.sin_family = AF_INET;
  name.sin_addr.s_addr = address;
  name.sin_port = portNum;
  return bind(sock, reinterpret_cast<sockaddr*>(&name), sizeof name);
}

// Sets the bind failure message, which names the port in host order.
int failBind(UsageEnvironment& env, int sock, Port port) {
  int savedErrno = errno;
  char msg[100];
  std::snprintf(msg, sizeof msg, "bind() error (port number: %d): ", ntohs(port.num()));
  errno = savedErrno;
  return failSetup(env, sock, msg);
}

// The size of the SO_SNDBUF or SO_RCVBUF buffer (bufOptName), or 0 with a
// message when it cannot be read.
unsigned getBufferSize(UsageEnvironment& env, int bufOptName, int sock) {
  int curSize = 0;
  socklen_t sizeSize = sizeof curSize;
  if (getsockopt(sock, SOL_SOCKET, bufOptName, &curSize, &sizeSize) < 0) {
    env.setResultErrMsg("getBufferSize() error: ");
    return 0;
  }
  return static_cast<unsigned>(curSize);
}

// Asks for requestedSize whatever the outcome, then reports the size in effect.
unsigned setBufferTo(UsageEnvironment& env, int bufOptName, int sock, unsigned requestedSize) {
  int sizeArg = static_cast<int>(requestedSize);
  setsockopt(sock, SOL_SOCKET, bufOptName, &sizeArg, sizeof sizeArg);
  return getBufferSize(env, bufOptName, sock);
}

// Raises the buffer towards requestedSize. The first size the system accepts
// is returned at once (not what the system then reports); each refusal
// retries halfway between the refused size and the current one, until
// nothing lies between them. The midpoint is taken as current plus half the
// gap, so that a request near 4 GB does not wrap below the current size.
unsigned increaseBufferTo(UsageEnvironment& env, int bufOptName, int sock, unsigned requestedSize) {
  unsigned curSize = getBufferSize(env, bufOptName, sock);
  while (requestedSize > curSize) {
    int sizeArg = static_cast<int>(requestedSize);
    if (setsockopt(sock, SOL_SOCKET, bufOptName, &sizeArg, sizeof sizeArg) >= 0) {
      return requestedSize;
    }
    requestedSize = curSize + (requestedSize - curSize) / 2;
  }
  return getBufferSize(env, bufOptName, sock);
}

// The source record, filled by field name: BSD systems lay it out as group,
// source, interface, Linux as group, interface, source.
ip_mreq_source sourceMembership(unsigned groupAddress, unsigned sourceFilterAddr) {
  ip_mreq_source imr{};
  imr.imr_multiaddr.s_addr = groupAddress;
  imr.imr_sourceaddr.s_addr = sourceFilterAddr;
  imr.imr_interface.s_addr = ReceivingInterfaceAddr;
  return imr;
}

}  // namespace

// A blocking datagram socket with address reuse (and, off Linux, port
// reuse) as the environment's flag says and multicast loopback on, which
// receives only the groups that it joins itself. It is bound to port on all
// local addresses when port is not 0, else to ReceivingInterfaceAddr when that is
// set; otherwise left unbound (the first send binds it). Its multicast
// leaves by SendingInterfaceAddr when that is set.
// Returns the descriptor, or -1 with a message and nothing left open.
int setupDatagramSocket(UsageEnvironment& env, Port port) {
  int newSocket = createSocket(SOCK_DGRAM);
  if (newSocket < 0) {
    env.setResultErrMsg("unable to create datagram socket: ");
    return -1;
  }

  int reuseFlagValue = reuseFlag(env);
  if (setsockopt(newSocket, SOL_SOCKET, SO_REUSEADDR, &reuseFlagValue, sizeof reuseFlagValue) < 0) {
    return failSetup(env, newSocket, "setsockopt(SO_REUSEADDR) error: ");
  }
#if defined(SO_REUSEPORT) && !defined(__linux__)
  // Other systems share a port among multicast sockets only with it. Linux
  // shares a UDP port by SO_REUSEADDR alone, and there SO_REUSEPORT would
  // make the kernel hand a multicast datagram from the network to one of
  // the sockets on its port, whatever groups that one joined: groupsocks of
  // two groups on one port would relay each other's datagrams.
  if (setsockopt(newSocket, SOL_SOCKET, SO_REUSEPORT, &reuseFlagValue, sizeof reuseFlagValue) < 0) {
    return failSetup(env, newSocket, "setsockopt(SO_REUSEPORT) error: ");
  }
#endif

  // Some systems accept only a byte here, so a byte it is.
  unsigned char loop = 1;
  if (setsockopt(newSocket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
    return failSetup(env, newSocket, "setsockopt(IP_MULTICAST_LOOP) error: ");
  }

#ifdef IP_MULTICAST_ALL
  // Linux hands a socket bound to the wildcard address every group joined on
  // its port by any socket of the host. A groupsock must read only the
  // groups it joined itself, or it would relay another group's datagrams
  // under its own.
  int multicastAll = 0;
  if (setsockopt(newSocket, IPPROTO_IP, IP_MULTICAST_ALL, &multicastAll, sizeof multicastAll) < 0) {
    return failSetup(env, newSocket, "setsockopt(IP_MULTICAST_ALL) error: ");
  }
#endif

  if (port.num() != 0 || ReceivingInterfaceAddr != INADDR_ANY) {
    unsigned address = port.num() != 0 ? INADDR_ANY : ReceivingInterfaceAddr;
    if (bindTo(newSocket, address, port.num()) != 0) return failBind(env, newSocket, port);
  }

  if (SendingInterfaceAddr != INADDR_ANY) {
    in_addr interfaceAddr;
    interfaceAddr.s_addr = SendingInterfaceAddr;
    if (setsockopt(newSocket, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddr, sizeof interfaceAddr) <
        0) {
      return failSetup(env, newSocket, "error setting outgoing multicast interface: ");
    }
  }
  return newSocket;
}

// A stream socket with address reuse as the environment's flag says, bound
// to ReceivingInterfaceAddr (and port) when either is set, and non-blocking
// when asked. Returns the descriptor, or -1 with a message and nothing left
// open.
int setupStreamSocket(UsageEnvironment& env, Port port, bool makeNonBlocking) {
  int newSocket = createSocket(SOCK_STREAM);
  if (newSocket < 0) {
    env.setResultErrMsg("unable to create stream socket: ");
    return -1;
  }

  int reuseFlagValue = reuseFlag(env);
  if (setsockopt(newSocket, SOL_SOCKET, SO_REUSEADDR, &reuseFlagValue, sizeof reuseFlagValue) < 0) {
    return failSetup(env, newSocket, "setsockopt(SO_REUSEADDR) error: ");
  }

  if (port.num() != 0 || ReceivingInterfaceAddr != INADDR_ANY) {
    if (bindTo(newSocket, ReceivingInterfaceAddr, port.num()) != 0) {
      return failBind(env, newSocket, port);
    }
  }

  if (makeNonBlocking && !makeSocketNonBlocking(newSocket)) {
    return failSetup(env, newSocket, "failed to make non-blocking: ");
  }
  return newSocket;
}

// Adds O_NONBLOCK to the descriptor's flags; false (and no message) on failure.
bool makeSocketNonBlocking(int sock) {
  int curFlags = fcntl(sock, F_GETFL, 0);
  if (curFlags < 0) return false;
  return fcntl(sock, F_SETFL, curFlags | O_NONBLOCK) >= 0;
}

// Removes O_NONBLOCK; false (and no message) on failure. A time-out above 0
// also becomes the send time-out, whose own outcome is not reported.
bool makeSocketBlocking(int sock, unsigned writeTimeoutInMilliseconds) {
  int curFlags = fcntl(sock, F_GETFL, 0);
  bool result = curFlags >= 0 && fcntl(sock, F_SETFL, curFlags & ~O_NONBLOCK) >= 0;

  if (writeTimeoutInMilliseconds > 0) {
    timeval tv;
    tv.tv_sec = writeTimeoutInMilliseconds / 1000;
    tv.tv_usec = (writeTimeoutInMilliseconds % 1000) * 1000;
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  return result;
}

// The results are those the header lists: an empty datagram is -1, the
// harmless errors 0, anything else recvfrom's -1 with a message.
int readSocket(UsageEnvironment& env, int sock, unsigned char* buffer, unsigned bufferSize,
               sockaddr_in& fromAddress) {
  socklen_t addressSize = sizeof fromAddress;
  int bytesRead = static_cast<int>(recvfrom(
      sock, buffer, bufferSize, 0, reinterpret_cast<sockaddr*>(&fromAddress), &addressSize));
  if (bytesRead > 0) return bytesRead;
  if (bytesRead == 0) return -1;

  int err = env.getErrno();
  if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNREFUSED || err == EHOSTUNREACH) {
    std::memset(&fromAddress, 0, sizeof fromAddress);
    return 0;
  }
  env.setResultErrMsg("recvfrom() error: ");
  return bytesRead;
}

// Sets the multicast time-to-live (also for unicast destinations: it does no
// harm there), then sends the datagram. True when it went out whole.
bool writeSocket(UsageEnvironment& env, int sock, in_addr address, Port port, unsigned char ttl,
                 unsigned char* buffer, unsigned bufferSize) {
  unsigned char ttlArg = ttl;
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttlArg, sizeof ttlArg) < 0) {
    env.setResultErrMsg("setsockopt(IP_MULTICAST_TTL) error: ");
    return false;
  }
  return writeSocket(env, sock, address, port, buffer, bufferSize);
}

// Sends the datagram to address and port. True when it went out whole;
// otherwise false with a message naming the descriptor and the counts.
// Never waits: a datagram the system cannot take now (a full send buffer,
// for instance of datagrams held for a neighbour that does not answer) is
// not sent, since waiting would stop the whole event loop.
bool writeSocket(UsageEnvironment& env, int sock, in_addr address, Port port, unsigned char* buffer,
                 unsigned bufferSize) {
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_addr = address;
  dest.sin_port = port.num();
  int bytesSent = static_cast<int>(sendto(sock, buffer, bufferSize, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&dest), sizeof dest));
  if (bytesSent == static_cast<int>(bufferSize)) return true;

  int savedErrno = errno;
  char msg[100];
  std::snprintf(msg, sizeof msg,
                "writeSocket(%d), sendTo() error: wrote %d bytes instead of %u: ", sock, bytesSent,
                bufferSize);
  errno = savedErrno;
  env.setResultErrMsg(msg);
  return false;
}

unsigned getSendBufferSize(UsageEnvironment& env, int sock) {
  return getBufferSize(env, SO_SNDBUF, sock);
}

unsigned getReceiveBufferSize(UsageEnvironment& env, int sock) {
  return getBufferSize(env, SO_RCVBUF, sock);
}

unsigned setSendBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize) {
  return setBufferTo(env, SO_SNDBUF, sock, requestedSize);
}

unsigned setReceiveBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize) {
  return setBufferTo(env, SO_RCVBUF, sock, requestedSize);
}

unsigned increaseSendBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize) {
  return increaseBufferTo(env, SO_SNDBUF, sock, requestedSize);
}

unsigned increaseReceiveBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize) {
  return increaseBufferTo(env, SO_RCVBUF, sock, requestedSize);
}

// Joins groupAddress on ReceivingInterfaceAddr. Nothing is asked of the
// system for a unicast address or a 224.0.0.x group; that counts as success.
bool socketJoinGroup(UsageEnvironment& env, int sock, unsigned groupAddress) {
  if (!IsMulticastAddress(groupAddress)) return true;

  ip_mreq imr{};
  imr.imr_multiaddr.s_addr = groupAddress;
  imr.imr_interface.s_addr = ReceivingInterfaceAddr;
  if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &imr, sizeof imr) < 0) {
    env.setResultErrMsg("setsockopt(IP_ADD_MEMBERSHIP) error: ");
    return false;
  }
  return true;
}

// Leaves groupAddress; false, with no message, when the system refuses.
bool socketLeaveGroup(UsageEnvironment&, int sock, unsigned groupAddress) {
  if (!IsMulticastAddress(groupAddress)) return true;

  ip_mreq imr{};
  imr.imr_multiaddr.s_addr = groupAddress;
  imr.imr_interface.s_addr = ReceivingInterfaceAddr;
  return setsockopt(sock, IPPROTO_IP, IP_DROP_MEMBERSHIP, &imr, sizeof imr) >= 0;
}

// Joins groupAddress for datagrams from sourceFilterAddr only, on
// ReceivingInterfaceAddr. A non-multicast group needs nothing and succeeds.
bool socketJoinGroupSSM(UsageEnvironment& env, int sock, unsigned groupAddress,
                        unsigned sourceFilterAddr) {
  if (!IsMulticastAddress(groupAddress)) return true;

  ip_mreq_source imr = sourceMembership(groupAddress, sourceFilterAddr);
  if (setsockopt(sock, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &imr, sizeof imr) < 0) {
    env.setResultErrMsg("setsockopt(IP_ADD_SOURCE_MEMBERSHIP) error: ");
    return false;
  }
  return true;
}

// Leaves the source-filtered membership; false, with no message, when the
// system refuses.
bool socketLeaveGroupSSM(UsageEnvironment&, int sock, unsigned groupAddress,
                         unsigned sourceFilterAddr) {
  if (!IsMulticastAddress(groupAddress)) return true;

  ip_mreq_source imr = sourceMembership(groupAddress, sourceFilterAddr);
  return setsockopt(sock, IPPROTO_IP, IP_DROP_SOURCE_MEMBERSHIP, &imr, sizeof imr) >= 0;
}

// The socket's local port in port. A socket that has none is first bound to
// an ephemeral port on all local addresses. False with a message when no
// port can be learnt.
bool getSourcePort(UsageEnvironment& env, int sock, Port& port) {
  auto boundPort = [sock](unsigned short& portNum) {
    sockaddr_in name{};
    name.sin_port = 0;
    socklen_t nameSize = sizeof name;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&name), &nameSize) < 0) return false;
    portNum = name.sin_port;
    return portNum != 0;
  };

  unsigned short portNum = 0;
  if (!boundPort(portNum)) {
    bindTo(sock, INADDR_ANY, 0);  // the system picks the port; the outcome shows below
    if (!boundPort(portNum)) {
      env.setResultErrMsg("getsockname() error: ");
      return false;
    }
  }
  port = Port(ntohs(portNum));
  return true;
}

void raiseReceiveBuffer(int sock, unsigned requestedSize) {
  int size = 0;
  socklen_t sizeSize = sizeof size;
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, &sizeSize) < 0) return;
  if (static_cast<unsigned>(size) >= requestedSize) return;
  int const request = static_cast<int>(requestedSize);
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, &sizeSize) < 0) return;
  if (static_cast<unsigned>(size) < requestedSize) {
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &request, sizeof request);  // EPERM: as it is
  }
}

// A classic socket filter, run by the kernel on every datagram queued to
// the socket. It sees the datagram from its UDP header on (offset 0: the
// source port); SKF_NET_OFF reaches back into the IPv4 header (offset 12:
// the source address). Loads give host order. A datagram from the given
// source is cut to 0 bytes, which drops it; any other is kept whole.
bool attachOwnDatagramFilter(int sock, unsigned address, Port port) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohs(port.num()), 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_NET_OFF + 12)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

void detachSocketFilter(int sock) {
  int const none = 0;
  setsockopt(sock, SOL_SOCKET, SO_DETACH_FILTER, &none, sizeof none);  // ENOENT: had none
}
