// How many replies (PROBE_NACK to a stranger's PROBE, PROBE_ACK to a
// datagram with the wrong cookie) any one sender address gets: a token
// bucket per address, REPLIES_PER_SECOND refilled and BURST at most. The
// buckets lie in a table of SLOTS that never grows; an address's slot is
// picked by a hash salted from the system's random source, so a flood
// from countless forged sources costs no memory, and the addresses that
// share a slot (which nobody can choose) share its bucket. One table
// serves the whole process.
#ifndef VELDRA_TUNNEL_REPLYRATELIMITER_HH
#define VELDRA_TUNNEL_REPLYRATELIMITER_HH

#include <chrono>
#include <cstdint>
#include <memory>

class ReplyRateLimiter {
 public:
  static constexpr unsigned SLOTS = 4096;
  static constexpr unsigned REPLIES_PER_SECOND = 5;
  static constexpr unsigned BURST = 10;

  using Clock = std::chrono::steady_clock;

  // Whether a reply to address (network order) may go at time now; it then
  // takes its token.
  bool admit(unsigned address, Clock::time_point now);
  // Every bucket full again, as at start (for tests).
  void reset() { buckets_.reset(); }

 private:
  struct Bucket {
    uint32_t lastMs;       // the clock, in milliseconds, when last refilled
    uint16_t milliTokens;  // BURST * 1000 when full
    uint16_t used;         // 0: never used, full
  };
  std::unique_ptr<Bucket[]> buckets_;  // SLOTS of them, made on first use
  uint32_t salt_ = 0;
};

// The process's one table.
ReplyRateLimiter& replyRateLimiter();

#endif
