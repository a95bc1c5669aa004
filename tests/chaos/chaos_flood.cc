// chaos_flood: the strangers' flood of the chaos suite. Sends a bounded
// number of tunnel datagrams at a given rate to a gateway's tunnel port,
// each from a random source address of a given range and a random source
// port, with random cookies: probes, joins of random groups, data for one
// group (payload "chaos flood", which no receiver of the suite takes for
// its own), and leaves, tear-downs, unknown commands and undersized
// datagrams. Sources are forged with a raw socket (IP_HDRINCL), so it needs
// root, and it runs only inside the test-bed's namespaces.
//
// Prints "sent=N seconds=S" and exits 0.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "tunnel/TunnelEncapsulation.hh"

namespace {

char const USAGE[] =
    "chaos_flood --target ADDR --port N --sources FIRST-LAST --group ADDR --group-port N\n"
    "            --rate PER_SECOND --count N [--max-seconds S] [--seed N]";

constexpr unsigned BATCH = 64;
constexpr unsigned MAX_PACKET = 128;
constexpr char PAYLOAD[] = "chaos flood";

struct Options {
  in_addr target{};
  unsigned port = 0;
  uint32_t firstSource = 0, lastSource = 0;  // host order
  in_addr group{};
  unsigned groupPort = 0;
  uint64_t rate = 0;
  uint64_t count = 0;
  uint64_t maxSeconds = 30;
  uint64_t seed = 1;
};

[[noreturn]] void usageError(std::string const& message) {
  std::fprintf(stderr, "%s\nusage: %s\n", message.c_str(), USAGE);
  std::exit(2);
}

in_addr parseAddress(std::string const& text) {
  in_addr address;
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) usageError("not an IPv4 address: " + text);
  return address;
}

uint64_t parseCount(std::string const& text) {
  char* end = nullptr;
  unsigned long long const value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || text[0] == '-') usageError("not a count: " + text);
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i += 2) {
    std::string const name = argv[i];
    if (i + 1 >= argc) usageError("missing value for " + name);
    std::string const value = argv[i + 1];
    if (name == "--target") {
      o.target = parseAddress(value);
    } else if (name == "--port") {
      o.port = static_cast<unsigned>(parseCount(value));
    } else if (name == "--sources") {
      size_t const dash = value.find('-');
      if (dash == std::string::npos) usageError("--sources wants FIRST-LAST");
      o.firstSource = ntohl(parseAddress(value.substr(0, dash)).s_addr);
      o.lastSource = ntohl(parseAddress(value.substr(dash + 1)).s_addr);
    } else if (name == "--group") {
      o.group = parseAddress(value);
    } else if (name == "--group-port") {
      o.groupPort = static_cast<unsigned>(parseCount(value));
    } else if (name == "--rate") {
      o.rate = parseCount(value);
    } else if (name == "--count") {
      o.count = parseCount(value);
    } else if (name == "--max-seconds") {
      o.maxSeconds = parseCount(value);
    } else if (name == "--seed") {
      o.seed = parseCount(value);
    } else {
      usageError("unknown option " + name);
    }
  }
  if (o.target.s_addr == 0 || o.port == 0 || o.port > 65535 || o.firstSource == 0 ||
      o.lastSource < o.firstSource || o.group.s_addr == 0 || o.groupPort > 65535 || o.rate == 0) {
    usageError("--target, --port, --sources, --group, --group-port and --rate are required");
  }
  return o;
}

int64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// One forged datagram: IP and UDP headers (the kernel completes the IP
// header's length and checksum; the UDP checksum is left out), then the
// tunnel datagram. Returns the packet's length.
class Forger {
 public:
  explicit Forger(Options const& options) : o(options), random(options.seed) {}

  unsigned forge(unsigned char* packet) {
    unsigned char* const body = packet + sizeof(iphdr) + sizeof(udphdr);
    unsigned const length = tunnelDatagram(body);
    auto* ip = reinterpret_cast<iphdr*>(packet);
    *ip = iphdr{};
    ip->version = 4;
    ip->ihl = sizeof(iphdr) / 4;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->saddr =
        htonl(o.firstSource + static_cast<uint32_t>(below(o.lastSource - o.firstSource + 1)));
    ip->daddr = o.target.s_addr;
    auto* udp = reinterpret_cast<udphdr*>(packet + sizeof(iphdr));
    udp->source = htons(static_cast<uint16_t>(1024 + below(64512)));
    udp->dest = htons(static_cast<uint16_t>(o.port));
    udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + length));
    udp->check = 0;
    unsigned const total = sizeof(iphdr) + sizeof(udphdr) + length;
    ip->tot_len = htons(static_cast<uint16_t>(total));
    return total;
  }

 private:
  uint32_t below(uint32_t bound) { return static_cast<uint32_t>(random() % bound); }

  // Writes one tunnel datagram at body and returns its length.
  unsigned tunnelDatagram(unsigned char* body) {
    unsigned const kind = below(100);
    if (kind >= 95) {  // undersized: no room for a trailer
      unsigned const length = below(TRAILER_SIZE);
      for (unsigned i = 0; i < length; ++i) body[i] = static_cast<unsigned char>(random());
      return length;
    }
    unsigned payload = 0;
    uint8_t command;
    uint32_t group = htonl(0xEFC80000u | below(65536));  // 239.200.x.y
    uint16_t port = static_cast<uint16_t>(below(65536));
    if (kind < 25) {
      command = PROBE;
      group = 0;
      port = 0;
    } else if (kind < 50) {
      command = below(4) == 0 ? JOIN_RTP : JOIN;
    } else if (kind < 75) {
      command = DATA;
      group = o.group.s_addr;
      port = static_cast<uint16_t>(o.groupPort);
      payload = sizeof PAYLOAD;
      std::memcpy(body, PAYLOAD, payload);
    } else {
      uint8_t const others[] = {LEAVE, LEAVE_RTP, TEAR_DOWN, PROBE_ACK, PROBE_NACK, 0x0a, 0x84};
      command = others[below(sizeof others)];
    }
    if (below(8) == 0 && command != PROBE) {  // the source-specific form
      command |= SSM_BIT;
      uint32_t const source = static_cast<uint32_t>(random());
      std::memcpy(body + payload, &source, SSM_SOURCE_SIZE);
      payload += SSM_SOURCE_SIZE;
    }
    TunnelEncapsulationTrailer trailer;
    setTrailerCookie(trailer.srcCookie, static_cast<uint16_t>(random()));
    setTrailerCookie(trailer.dstCookie, static_cast<uint16_t>(random()));
    setTrailerAddress(trailer, group);
    setTrailerPort(trailer, htons(port));
    trailer.ttl = static_cast<uint8_t>(random());
    trailer.command = command;
    std::memcpy(body + payload, &trailer, TRAILER_SIZE);
    return payload + TRAILER_SIZE;
  }

  Options const& o;
  std::mt19937_64 random;
};

}  // namespace

int main(int argc, char** argv) {
  Options const o = parseOptions(argc, argv);
  int const fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);  // implies IP_HDRINCL
  if (fd < 0) {
    std::perror("socket(SOCK_RAW) (needs root)");
    return 1;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr = o.target;

  Forger forger(o);
  static unsigned char packets[BATCH][MAX_PACKET];
  iovec iov[BATCH];
  mmsghdr messages[BATCH];
  int64_t const start = monotonicNs();
  int64_t const deadline = start + static_cast<int64_t>(o.maxSeconds) * 1000000000;
  uint64_t sent = 0;
  while (sent < o.count) {
    int64_t const now = monotonicNs();
    if (now >= deadline) break;
    uint64_t const due =
        static_cast<uint64_t>((now - start) * static_cast<__int128>(o.rate) / 1000000000) + 1;
    if (due <= sent) {
      timespec const pause{0, 200000};
      nanosleep(&pause, nullptr);
      continue;
    }
    unsigned const n =
        static_cast<unsigned>(std::min<uint64_t>({BATCH, o.count - sent, due - sent}));
    for (unsigned i = 0; i < n; ++i) {
      iov[i].iov_base = packets[i];
      iov[i].iov_len = forger.forge(packets[i]);
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &destination;
      messages[i].msg_hdr.msg_namelen = sizeof destination;
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int const r = sendmmsg(fd, messages, n, 0);
    if (r < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) continue;
      std::perror("sendmmsg");
      return 1;
    }
    sent += static_cast<unsigned>(r);
  }
  std::printf("sent=%llu seconds=%.3f\n", static_cast<unsigned long long>(sent),
              static_cast<double>(monotonicNs() - start) / 1e9);
  close(fd);
  return 0;
}
