// A sockaddr_in from dotted text and a host-order port, for socket tests.
#ifndef VELDRA_TESTS_SUPPORT_ENDPOINT_HH
#define VELDRA_TESTS_SUPPORT_ENDPOINT_HH

#include <arpa/inet.h>
#include <netinet/in.h>

namespace testsupport {

inline sockaddr_in endpoint(char const* address, unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(address);
  return a;
}

}  // namespace testsupport

#endif
