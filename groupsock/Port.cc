// UDP ports held in network byte order.
#include "groupsock/Port.hh"

#include <arpa/inet.h>

#include "runtime/UsageEnvironment.hh"

// Stores hostOrderNum converted to network order.
Port::Port(unsigned short hostOrderNum) : portNum(htons(hostOrderNum)) {}

// Writes the port in host order, in decimal, through the environment's
// integer output.
UsageEnvironment& operator<<(UsageEnvironment& env, Port const& port) {
  return env << static_cast<int>(ntohs(port.num()));
}
