// bench_recv: joins a multicast group (or, with --groups N, N consecutive
// groups) and receives one run of bench_send's stream, counting what
// arrives, what is missing, duplicated or out of order, and the one-way
// latency of every datagram. Reads in batches with
// recvmmsg into a receive buffer forced large (SO_RCVBUFFORCE, as root), so
// that the receiver is not what loses datagrams.
//
// Prints "ready" once joined, then, when all expected datagrams have come,
// or nothing has come for --idle-ms after the first, or --max-seconds have
// passed, or SIGTERM or SIGINT has come, one line of key=value results and
// exits 0. "other" datagrams are split into "foreign" ones (not from
// bench_send) and "other_run" ones (another run's stream: a stream that
// reached the wrong group when each group carries its own run). With
// --gaps FILE the sequence numbers that never came are written there as
// ranges, one "first last" line each; with --events FILE every datagram
// that is not a new one of the run is logged there as it comes, one
// "kind seq arrival" line each: kind duplicate, reordered, other_run or
// foreign, seq "-" for a foreign one, arrival in CLOCK_REALTIME seconds.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "bench/BenchDatagram.hh"

namespace {

char const USAGE[] =
    "bench_recv --group ADDR --port N --interface ADDR --count N\n"
    "                  [--run ID] [--idle-ms MS] [--max-seconds S] [--groups N]\n"
    "                  [--gaps FILE] [--events FILE]";

constexpr unsigned BATCH = 64;

struct Options {
  in_addr group{};
  unsigned port = 0;
  in_addr ifAddress{};
  uint64_t count = 0;
  uint32_t run = 1;
  uint64_t idleMs = 1000;
  uint64_t maxSeconds = 60;
  unsigned groups = 1;
  std::string gapsFile;
  std::string eventsFile;
};

// Set by SIGTERM or SIGINT: report what has come and end.
volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

// Without SA_RESTART, so that the signal ends the wait in poll at once.
void stopOnSignals() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

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
    } else if (name == "--count") {
      o.count = parseCount(value, USAGE);
    } else if (name == "--run") {
      o.run = static_cast<uint32_t>(parseCount(value, USAGE));
    } else if (name == "--idle-ms") {
      o.idleMs = parseCount(value, USAGE);
    } else if (name == "--max-seconds") {
      o.maxSeconds = parseCount(value, USAGE);
    } else if (name == "--groups") {
      o.groups = static_cast<unsigned>(parseCount(value, USAGE));
    } else if (name == "--gaps") {
      o.gapsFile = value;
    } else if (name == "--events") {
      o.eventsFile = value;
    } else {
      usageError(("unknown option " + name).c_str(), USAGE);
    }
  }
  if (!haveGroup || !haveIfAddress || o.port == 0 || o.port > 65535 || o.count == 0) {
    usageError("--group, --interface, --port and --count are required", USAGE);
  }
  if (o.groups < 1 || o.groups > 256) usageError("--groups must be from 1 to 256", USAGE);
  return o;
}

// A socket bound to the group's port (and, for one group, its address, so
// that no other group on the port is counted), joined to the groups on the
// given interface.
int openSocket(Options const& o) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("socket");
    std::exit(1);
  }
  int const one = 1, receiveBuffer = 64 << 20;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Above rmem_max only root may go, and rmem_max cannot be raised from
  // inside a network namespace.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = o.groups == 1 ? o.group.s_addr : htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(o.port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::perror("bind");
    std::exit(1);
  }
  for (unsigned g = 0; g < o.groups; ++g) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(ntohl(o.group.s_addr) + g);
    membership.imr_interface = o.ifAddress;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      std::perror("IP_ADD_MEMBERSHIP");
      std::exit(1);
    }
  }
  return fd;
}

// The q-quantile of the values (which it reorders), in microseconds.
double quantileUs(std::vector<int64_t>& values, double q) {
  if (values.empty()) return 0;
  size_t const k =
      std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
  return static_cast<double>(values[k]) / 1000.0;
}

// Logs one datagram that is not a new one of the run to events (if open).
void logEvent(FILE* events, char const* kind, uint64_t seq, bool haveSeq) {
  if (events == nullptr) return;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (haveSeq)
    std::fprintf(events, "%s %llu %lld.%06ld\n", kind, static_cast<unsigned long long>(seq),
                 static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
  else
    std::fprintf(events, "%s - %lld.%06ld\n", kind, static_cast<long long>(now.tv_sec),
                 now.tv_nsec / 1000);
}

// Writes the runs of sequence numbers not seen, "first last" a line.
void writeGaps(std::string const& file, std::vector<bool> const& seen) {
  FILE* out = std::fopen(file.c_str(), "w");
  if (out == nullptr) {
    std::perror(file.c_str());
    std::exit(1);
  }
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i]) continue;
    size_t last = i;
    while (last + 1 < seen.size() && !seen[last + 1]) ++last;
    std::fprintf(out, "%zu %zu\n", i, last);
    i = last;
  }
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  Options const o = parseOptions(argc, argv);
  stopOnSignals();
  int const fd = openSocket(o);
  FILE* events = nullptr;
  if (!o.eventsFile.empty() && (events = std::fopen(o.eventsFile.c_str(), "w")) == nullptr) {
    std::perror(o.eventsFile.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<unsigned char> buffers(static_cast<size_t>(BATCH) * BENCH_MAX_SIZE);
  iovec iov[BATCH];
  mmsghdr messages[BATCH];
  for (unsigned i = 0; i < BATCH; ++i) {
    iov[i].iov_base = &buffers[static_cast<size_t>(i) * BENCH_MAX_SIZE];
    iov[i].iov_len = BENCH_MAX_SIZE;
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  std::vector<bool> seen(o.count, false);
  std::vector<int64_t> latencies;
  latencies.reserve(o.count);
  uint64_t unique = 0, duplicates = 0, reordered = 0, foreign = 0, otherRun = 0, payloadBytes = 0;
  uint64_t highest = 0;
  bool any = false;
  int64_t firstSent = 0, lastArrival = 0;
  int64_t const deadline = monotonicNs() + static_cast<int64_t>(o.maxSeconds) * 1000000000;

  while (unique < o.count && !stopRequested) {
    int64_t const now = monotonicNs();
    if (now >= deadline) break;
    int64_t waitMs = (deadline - now) / 1000000 + 1;
    if (any) waitMs = std::min<int64_t>(waitMs, static_cast<int64_t>(o.idleMs));
    pollfd p{fd, POLLIN, 0};
    int const ready = poll(&p, 1, static_cast<int>(std::min<int64_t>(waitMs, 1 << 30)));
    if (ready == 0 && any) break;  // idle: the stream is over
    if (ready <= 0) continue;
    int const n = recvmmsg(fd, messages, BATCH, MSG_DONTWAIT, nullptr);
    if (n <= 0) continue;
    int64_t const arrival = monotonicNs();
    for (int i = 0; i < n; ++i) {
      BenchHeader header;
      if (messages[i].msg_len >= sizeof header)
        std::memcpy(&header, iov[i].iov_base, sizeof header);
      if (messages[i].msg_len < sizeof header || header.magic != BENCH_MAGIC) {
        ++foreign;
        logEvent(events, "foreign", 0, false);
        continue;
      }
      if (header.run != o.run || header.seq >= o.count) {
        ++otherRun;
        logEvent(events, "other_run", header.seq, true);
        continue;
      }
      if (seen[header.seq]) {
        ++duplicates;
        logEvent(events, "duplicate", header.seq, true);
        continue;
      }
      seen[header.seq] = true;
      ++unique;
      payloadBytes += messages[i].msg_len;
      if (any && header.seq < highest) {
        ++reordered;
        logEvent(events, "reordered", header.seq, true);
      }
      highest = std::max(highest, header.seq);
      if (!any || header.sentNs < firstSent) firstSent = header.sentNs;
      any = true;
      lastArrival = arrival;
      latencies.push_back(arrival - header.sentNs);
    }
  }

  double const span = any ? static_cast<double>(lastArrival - firstSent) / 1e9 : 0;
  double const rate = span > 0 ? static_cast<double>(unique) / span : 0;
  double const mbit = span > 0 ? static_cast<double>(payloadBytes) * 8 / span / 1e6 : 0;
  double const lossPercent =
      100.0 * static_cast<double>(o.count - unique) / static_cast<double>(o.count);
  double const p50 = quantileUs(latencies, 0.50);
  double const p99 = quantileUs(latencies, 0.99);
  double const p999 = quantileUs(latencies, 0.999);
  std::printf(
      "received=%llu expected=%llu loss_pct=%.3f duplicates=%llu reordered=%llu other=%llu "
      "foreign=%llu other_run=%llu span_s=%.6f rate=%.0f mbit=%.2f p50_us=%.1f p99_us=%.1f "
      "p999_us=%.1f\n",
      static_cast<unsigned long long>(unique), static_cast<unsigned long long>(o.count),
      lossPercent, static_cast<unsigned long long>(duplicates),
      static_cast<unsigned long long>(reordered),
      static_cast<unsigned long long>(foreign + otherRun), static_cast<unsigned long long>(foreign),
      static_cast<unsigned long long>(otherRun), span, rate, mbit, p50, p99, p999);
  std::fflush(stdout);
  if (!o.gapsFile.empty()) writeGaps(o.gapsFile, seen);
  if (events != nullptr) std::fclose(events);
  close(fd);
  return 0;
}
