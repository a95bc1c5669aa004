// The benchmark's datagram header and the small helpers that the sender
// and the receiver share. Both run on the same machine, so the header is in
// host byte order and both read the same CLOCK_MONOTONIC: the difference
// between a datagram's send stamp and its arrival is its one-way latency.
#ifndef VELDRA_BENCH_BENCHDATAGRAM_HH
#define VELDRA_BENCH_BENCHDATAGRAM_HH

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The first bytes of every benchmark datagram; the rest is padding.
struct BenchHeader {
  uint32_t magic;  // BENCH_MAGIC
  uint32_t run;    // tells one measurement from another on the same group
  uint64_t seq;    // 0, 1, 2 ... within a run
  int64_t sentNs;  // CLOCK_MONOTONIC just before the send call
};
static_assert(sizeof(BenchHeader) == 24, "the header layout is fixed");

constexpr uint32_t BENCH_MAGIC = 0x76424e43;
constexpr unsigned BENCH_MIN_SIZE = sizeof(BenchHeader);
constexpr unsigned BENCH_MAX_SIZE = 65000;

// CLOCK_MONOTONIC in nanoseconds.
inline int64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Prints the message and the usage text and ends the process with status 2.
[[noreturn]] inline void usageError(char const* message, char const* usage) {
  std::fprintf(stderr, "%s\nusage: %s\n", message, usage);
  std::exit(2);
}

// Parses "a.b.c.d" into a network-order address, or ends the process.
inline in_addr parseAddress(char const* text, char const* usage) {
  in_addr address;
  if (inet_pton(AF_INET, text, &address) != 1) {
    usageError((std::string("not an IPv4 address: ") + text).c_str(), usage);
  }
  return address;
}

// Parses a non-negative decimal number, or ends the process.
inline uint64_t parseCount(char const* text, char const* usage) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-') {
    usageError((std::string("not a count: ") + text).c_str(), usage);
  }
  return value;
}

#endif  // VELDRA_BENCH_BENCHDATAGRAM_HH
