// Free functions over raw IPv4 socket descriptors: set-up, one-datagram I/O,
// kernel buffer sizing, group membership and the local port. Failures set
// the environment's result message (a prefix followed by the system's error
// text) and are reported by the result.
#ifndef VELDRA_GROUPSOCK_SOCKETHELPERS_HH
#define VELDRA_GROUPSOCK_SOCKETHELPERS_HH

#include <netinet/in.h>

#include "groupsock/Port.hh"

class UsageEnvironment;

// The interface for outgoing multicast on datagram sockets set up from now
// on; 0 (INADDR_ANY) leaves the choice to the system. Network order.
extern unsigned SendingInterfaceAddr;
// The local address port-less datagram sockets and stream sockets are bound
// to, and the interface named in membership requests; 0 for any. Network order.
extern unsigned ReceivingInterfaceAddr;

// A new blocking, close-on-exec datagram socket, bound to port when it is
// not 0; -1 on failure.
int setupDatagramSocket(UsageEnvironment& env, Port port);
int setupStreamSocket(UsageEnvironment& env, Port port, bool makeNonBlocking = true);
bool makeSocketNonBlocking(int sock);
bool makeSocketBlocking(int sock, unsigned writeTimeoutInMilliseconds = 0);

// Reads one datagram of at most bufferSize bytes, the sender going to
// fromAddress. Returns the byte count (above 0); -1, with no message, for an
// empty datagram; 0, with fromAddress zeroed, when there is nothing to read
// or the system reports an ICMP refusal or unreachable host left by an
// earlier send (neither is this socket's failure); any other failure is a
// negative value with a message.
int readSocket(UsageEnvironment& env, int sock, unsigned char* buffer, unsigned bufferSize,
               sockaddr_in& fromAddress);
// Sends one datagram, setting the multicast time-to-live first; true when
// it was sent whole. Never waits: what cannot be sent at once is not sent.
bool writeSocket(UsageEnvironment& env, int sock, in_addr address, Port port, unsigned char ttl,
                 unsigned char* buffer, unsigned bufferSize);
bool writeSocket(UsageEnvironment& env, int sock, in_addr address, Port port, unsigned char* buffer,
                 unsigned bufferSize);

// Kernel buffer sizes in bytes; 0 when they cannot be read.
unsigned getSendBufferSize(UsageEnvironment& env, int sock);
unsigned getReceiveBufferSize(UsageEnvironment& env, int sock);
unsigned setSendBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize);
unsigned setReceiveBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize);
// Raise a buffer towards requestedSize, halving the gap on each refusal.
unsigned increaseSendBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize);
unsigned increaseReceiveBufferTo(UsageEnvironment& env, int sock, unsigned requestedSize);

// Membership on ReceivingInterfaceAddr. A non-multicast group needs nothing
// and succeeds. A failed leave sets no message.
bool socketJoinGroup(UsageEnvironment& env, int sock, unsigned groupAddress);
bool socketLeaveGroup(UsageEnvironment& env, int sock, unsigned groupAddress);
bool socketJoinGroupSSM(UsageEnvironment& env, int sock, unsigned groupAddress,
                        unsigned sourceFilterAddr);
bool socketLeaveGroupSSM(UsageEnvironment& env, int sock, unsigned groupAddress,
                         unsigned sourceFilterAddr);

// The socket's local port, binding it to an ephemeral one if it has none.
bool getSourcePort(UsageEnvironment& env, int sock, Port& port);

// Raises sock's receive buffer towards requestedSize bytes as far as the
// system lets it: SO_RCVBUF up to its limit (net.core.rmem_max), beyond
// that SO_RCVBUFFORCE, which a process with CAP_NET_ADMIN may use. Never
// lowers it; failures are ignored and set no message. A relay's sockets
// need the room to ride out the milliseconds in which a busy machine does
// not run the relay.
void raiseReceiveBuffer(int sock, unsigned requestedSize);

// Has the kernel drop, before they reach sock, the UDP datagrams whose
// source is address (network order) and port: the datagrams a socket gets
// back from its own multicast sends by loopback, which then cost no system
// call and no copy. Any filter sock had is replaced. False when the system
// refuses (no message is set).
bool attachOwnDatagramFilter(int sock, unsigned address, Port port);
// Removes sock's filter, if it has one.
void detachSocketFilter(int sock);

#endif
