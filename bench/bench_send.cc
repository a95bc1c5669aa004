// bench_send: sends a bounded, numbered and time-stamped stream of datagrams
// to a multicast group (or, with --groups N, to N consecutive groups in
// turn) at a given rate, as fast as the machine allows when the rate is 0. Batches go out with
// sendmmsg; the pacing follows CLOCK_MONOTONIC, so a late wake-up sends what is due at once and the
// average rate stays the one asked for.
//
// On success it prints one line, "sent=N seconds=S", and exits 0.
#include <errno.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "bench/BenchDatagram.hh"

namespace {

char const USAGE[] =
    "bench_send --group ADDR --port N --interface ADDR --size BYTES --count N\n"
    "                  [--rate PER_SECOND (0: unlimited)] [--run ID] [--ttl N] [--max-seconds S]\n"
    "                  [--groups N (the group and the next N - 1 addresses)]";

// Datagrams per sendmmsg call; also the largest burst a late wake-up sends.
constexpr unsigned BATCH = 32;

struct Options {
  in_addr group{};
  unsigned port = 0;
  in_addr ifAddress{};
  unsigned size = 0;
  uint64_t count = 0;
  uint64_t rate = 0;
  uint32_t run = 1;
  unsigned ttl = 16;
  uint64_t maxSeconds = 60;
  unsigned groups = 1;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  bool haveGroup = false, haveIfAddress = false;
  for (int i = 1; i < argc; i += 2) {
    std::string const name = argv[i];
    if (i + 1 >= argc) usageError(("missing value for " + name).c_str(), USAGE);
    char const* value = argv[i + 1];
    if (name == "--group") {
      o.group = parseAddress(value, USAGE);
      haveGroup = true;
    } else if (name == "--interface") {
      o.ifAddress = parseAddress(value, USAGE);
      haveIfAddress = true;
    } else if (name == "--port") {
      o.port = static_cast<unsigned>(parseCount(value, USAGE));
    } else if (name == "--size") {
      o.size = static_cast<unsigned>(parseCount(value, USAGE));
    } else if (name == "--count") {
      o.count = parseCount(value, USAGE);
    } else if (name == "--rate") {
      o.rate = parseCount(value, USAGE);
    } else if (name == "--run") {
      o.run = static_cast<uint32_t>(parseCount(value, USAGE));
    } else if (name == "--ttl") {
      o.ttl = static_cast<unsigned>(parseCount(value, USAGE));
    } else if (name == "--max-seconds") {
      o.maxSeconds = parseCount(value, USAGE);
    } else if (name == "--groups") {
      o.groups = static_cast<unsigned>(parseCount(value, USAGE));
    } else {
      usageError(("unknown option " + name).c_str(), USAGE);
    }
  }
  if (!haveGroup || !haveIfAddress || o.port == 0 || o.port > 65535) {
    usageError("--group, --interface and --port are required", USAGE);
  }
  if (o.size < BENCH_MIN_SIZE || o.size > BENCH_MAX_SIZE) {
    usageError("--size must be from 24 to 65000", USAGE);
  }
  if (o.ttl > 255) usageError("--ttl must be at most 255", USAGE);
  if (o.groups < 1 || o.groups > 256) usageError("--groups must be from 1 to 256", USAGE);
  return o;
}

// A UDP socket that sends to the group out of the given interface, with
// loopback off (a receiver on the sending host should not see the stream).
int openSocket(Options const& o) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("socket");
    std::exit(1);
  }
  unsigned char ttl = static_cast<unsigned char>(o.ttl), loop = 0;
  int sendBuffer = 4 << 20;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &o.ifAddress, sizeof o.ifAddress) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
    std::perror("setsockopt");
    std::exit(1);
  }
  // A large send buffer only smooths bursts; the kernel may cap it.
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options const o = parseOptions(argc, argv);
  int const fd = openSocket(o);
  prctl(PR_SET_TIMERSLACK, 1UL);  // wake-ups at 10 µs steps need a tight timer

  // Datagram n goes to group n modulo the number of groups.
  std::vector<sockaddr_in> destinations(o.groups);
  for (unsigned g = 0; g < o.groups; ++g) {
    destinations[g] = sockaddr_in{};
    destinations[g].sin_family = AF_INET;
    destinations[g].sin_addr.s_addr = htonl(ntohl(o.group.s_addr) + g);
    destinations[g].sin_port = htons(static_cast<uint16_t>(o.port));
  }

  std::vector<unsigned char> buffers(static_cast<size_t>(BATCH) * o.size, 0xa5);
  iovec iov[BATCH];
  mmsghdr messages[BATCH];
  for (unsigned i = 0; i < BATCH; ++i) {
    iov[i].iov_base = &buffers[static_cast<size_t>(i) * o.size];
    iov[i].iov_len = o.size;
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  int64_t const start = monotonicNs();
  int64_t const deadline = start + static_cast<int64_t>(o.maxSeconds) * 1000000000;
  uint64_t sent = 0;
  while (sent < o.count) {
    int64_t now = monotonicNs();
    if (now >= deadline) break;
    uint64_t due = o.count;  // how many should have gone by now
    if (o.rate > 0) {
      due = static_cast<uint64_t>((now - start) * static_cast<__int128>(o.rate) / 1000000000) + 1;
      if (due <= sent) {  // ahead of schedule: sleep until the next one is due
        int64_t const next = start + static_cast<int64_t>(sent * 1000000000 / o.rate);
        timespec until{static_cast<time_t>(next / 1000000000),
                       static_cast<long>(next % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        continue;
      }
    }
    unsigned const n =
        static_cast<unsigned>(std::min<uint64_t>({BATCH, o.count - sent, due - sent}));
    now = monotonicNs();
    for (unsigned i = 0; i < n; ++i) {
      BenchHeader header{BENCH_MAGIC, o.run, sent + i, now};
      std::memcpy(iov[i].iov_base, &header, sizeof header);
      messages[i].msg_hdr.msg_name = &destinations[(sent + i) % o.groups];
    }
    int const r = sendmmsg(fd, messages, n, 0);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
      std::perror("sendmmsg");
      return 1;
    }
    sent += static_cast<unsigned>(r);
  }
  double const seconds = static_cast<double>(monotonicNs() - start) / 1e9;
  std::printf("sent=%llu seconds=%.6f\n", static_cast<unsigned long long>(sent), seconds);
  close(fd);
  return 0;
}
