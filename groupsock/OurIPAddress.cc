// The host's own address, whether multicast loopback works, a random
// source-specific group, and the clock text of trace lines.
#include "groupsock/OurIPAddress.hh"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "groupsock/AddressString.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/OurRandom.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

bool loopbackWorks = true;

namespace {

// The test datagram goes to this group and port with time-to-live 0, so it
// never leaves the host; the copy looped back tells the address our
// datagrams carry.
char const* const TEST_GROUP = "228.67.43.91";
constexpr unsigned short TEST_PORT = 15947;
unsigned char const TEST_TEXT[] = "hostIdTest";  // sent with its terminating zero
constexpr int LOOPBACK_WAIT_MS = 5000;
// Room to read a datagram longer than the test text, so that one that is
// not ours cannot pass for it by being cut short.
constexpr unsigned READ_SIZE = 20;
constexpr unsigned HOST_NAME_SIZE = 100;

// The answer, network order; 0 until a discovery finds a usable address.
unsigned ourAddress = 0;

// Whether address (network order) can stand for this host: not 0.0.0.0, not
// the all-ones address, not exactly 127.0.0.1. Other 127.x.y.z addresses do.
bool isUsable(unsigned address) {
  unsigned hostOrder = ntohl(address);
  return hostOrder != 0x00000000 && hostOrder != 0xFFFFFFFF && hostOrder != 0x7F000001;
}

// Waits until sock is readable, at most LOOPBACK_WAIT_MS in all (a signal
// does not cut the wait short). poll rather than select, so that a
// descriptor above FD_SETSIZE is no hazard.
bool waitReadable(int sock) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsedMs >= LOOPBACK_WAIT_MS) return false;
    pollfd pfd{sock, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(LOOPBACK_WAIT_MS - elapsedMs));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// Sends the test datagram to the test group and reads the copy that comes
// back. Returns the sender address of whatever datagram arrived (0 if none),
// and sets loopbackWorks when it was our own test text from a usable
// address. Failures leave their message in env.
unsigned discoverByLoopback(UsageEnvironment& env) {
  unsigned candidate = 0;
  loopbackWorks = false;

  in_addr testGroup;
  testGroup.s_addr = our_inet_addr(TEST_GROUP);
  Port testPort(TEST_PORT);
  int sock = setupDatagramSocket(env, testPort);
  if (sock < 0) return 0;

  if (socketJoinGroup(env, sock, testGroup.s_addr)) {
    unsigned char sent[sizeof TEST_TEXT];
    std::memcpy(sent, TEST_TEXT, sizeof sent);
    if (writeSocket(env, sock, testGroup, testPort, 0, sent, sizeof sent) && waitReadable(sock)) {
      unsigned char received[READ_SIZE];
      sockaddr_in fromAddress{};
      int bytesRead = readSocket(env, sock, received, sizeof received, fromAddress);
      candidate = fromAddress.sin_addr.s_addr;
      if (bytesRead == static_cast<int>(sizeof sent) &&
          std::memcmp(received, sent, sizeof sent) == 0) {
        loopbackWorks = isUsable(candidate);
      }
    }
  }
  socketLeaveGroup(env, sock, testGroup.s_addr);  // whatever came of the join
  close(sock);
  return candidate;
}

// The first usable address the host name resolves to; when it resolves only
// to unusable ones, the first of those, so that the caller can name it.
// Keeps candidate if the host name cannot be had.
unsigned discoverByHostName(UsageEnvironment& env, unsigned candidate) {
  char hostname[HOST_NAME_SIZE];
  if (gethostname(hostname, sizeof hostname) != 0 || hostname[0] == '\0') {
    env.setResultErrMsg("initial gethostname() failed");
    return candidate;
  }
  hostname[sizeof hostname - 1] = '\0';  // a name that filled the buffer may lack its end

  NetAddressList addresses(hostname);
  NetAddressList::Iterator iter(addresses);
  while (NetAddress const* address = iter.nextAddress()) {
    if (isUsable(ipv4Address(*address))) return ipv4Address(*address);
  }
  unsigned first = 0;
  firstIPv4Address(addresses, first);
  return first;
}

}  // namespace

// The host's address, network order. A set ReceivingInterfaceAddr is the
// answer at once, with no test. Otherwise the cached answer, or a discovery:
// the source address of the looped-back test datagram, else the first
// usable address of the host name. Discovery sets loopbackWorks, seeds the
// random generator, and may block for up to 5 seconds waiting for the test
// datagram. Returns 0, leaving the reason as the result message, when no
// usable address is found; the next call then tries again.
unsigned ourIPAddress(UsageEnvironment& env) {
  if (ReceivingInterfaceAddr != 0) {
    ourAddress = ReceivingInterfaceAddr;
    return ourAddress;
  }
  if (ourAddress != 0) return ourAddress;

  unsigned candidate = discoverByLoopback(env);
  if (!loopbackWorks) candidate = discoverByHostName(env, candidate);
  if (!isUsable(candidate)) {
    AddressString text(candidate);
    env.setResultMsg("This computer has an invalid IP address: ", text.val());
    candidate = 0;
  }
  ourAddress = candidate;

  timeval now;
  gettimeofday(&now, nullptr);
  our_srandom(ourAddress ^ static_cast<unsigned>(now.tv_sec) ^ static_cast<unsigned>(now.tv_usec));
  return ourAddress;
}

void forgetOurIPAddress() { ourAddress = 0; }

// A random address in 232.0.1.0 to 232.255.255.254, network order. Finding
// the own address first seeds the generator on the first call.
unsigned chooseRandomIPv4SSMAddress(UsageEnvironment& env) {
  ourIPAddress(env);
  constexpr unsigned FIRST = 0xE8000100;  // 232.0.1.0
  constexpr unsigned RANGE = 0xFFFEFF;    // up to 232.255.255.254
  unsigned long r = static_cast<unsigned long>(our_random());
  return htonl(FIRST + static_cast<unsigned>(r % RANGE));
}

// The local clock time as "hh:mm:ss" ("??:??:??" if the platform cannot
// format it), in a static buffer that the next call overwrites.
char const* timestampString() {
  static char timeString[9];
  timeval now;
  gettimeofday(&now, nullptr);
  time_t secs = now.tv_sec;
  char ctimeText[64];  // ctime's form, "Wed Jun 30 21:49:08 1993\n", and room to spare
  if (ctime_r(&secs, ctimeText) == nullptr) {
    std::strcpy(timeString, "??:??:??");
  } else {
    std::memcpy(timeString, &ctimeText[11], 8);  // the clock time within that form
    timeString[8] = '\0';
  }
  return timeString;
}
