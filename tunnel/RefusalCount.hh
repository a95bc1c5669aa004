// A count of refusals of one kind, with the pace of their trace lines: a
// flood must not fill the log, so a line is due at most once every
// TRACE_INTERVAL, and it tells how many were refused since the last one.
#ifndef VELDRA_TUNNEL_REFUSALCOUNT_HH
#define VELDRA_TUNNEL_REFUSALCOUNT_HH

#include <chrono>

class RefusalCount {
 public:
  static constexpr std::chrono::seconds TRACE_INTERVAL{10};

  // Counts one refusal. True when a trace line is due; sinceLastLine is
  // then the number it tells of, this one included.
  bool count(unsigned& sinceLastLine) {
    ++total_;
    auto const now = std::chrono::steady_clock::now();
    if (now < nextLine_) return false;
    sinceLastLine = total_ - atLastLine_;
    atLastLine_ = total_;
    nextLine_ = now + TRACE_INTERVAL;
    return true;
  }
  unsigned total() const { return total_; }

 private:
  unsigned total_ = 0;
  unsigned atLastLine_ = 0;
  std::chrono::steady_clock::time_point nextLine_;
};

#endif
