// The reply rate limiter: token buckets in a fixed table.
#include "tunnel/ReplyRateLimiter.hh"

#include <sys/random.h>

namespace {

constexpr uint32_t FULL = ReplyRateLimiter::BURST * 1000;

}  // namespace

bool ReplyRateLimiter::admit(unsigned address, Clock::time_point now) {
  if (!buckets_) {
    buckets_.reset(new Bucket[SLOTS]());
    // A salt the senders cannot know: without it, one could pick forged
    // addresses that share an honest peer's bucket and drain it.
    if (getrandom(&salt_, sizeof salt_, GRND_NONBLOCK) != sizeof salt_) salt_ = 0x5bd1e995u;
  }
  // Fibonacci hashing of the salted address: its top 12 bits.
  uint32_t const hash = static_cast<uint32_t>((address ^ salt_) * 2654435761u) >> 20;
  Bucket& bucket = buckets_[hash % SLOTS];
  auto const nowMs = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
  uint32_t tokens = FULL;
  if (bucket.used != 0) {
    uint64_t const refill = static_cast<uint64_t>(nowMs - bucket.lastMs) * REPLIES_PER_SECOND;
    tokens = static_cast<uint32_t>(
        refill >= FULL - bucket.milliTokens ? FULL : bucket.milliTokens + refill);
  }
  bucket.used = 1;
  bucket.lastMs = nowMs;
  bool const admitted = tokens >= 1000;
  bucket.milliTokens = static_cast<uint16_t>(admitted ? tokens - 1000 : tokens);
  return admitted;
}

ReplyRateLimiter& replyRateLimiter() {
  static ReplyRateLimiter limiter;
  return limiter;
}
