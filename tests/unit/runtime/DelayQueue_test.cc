// The delay queue on a hand-moved clock: delta layout, tick order, clock
// jumps, handlers that change the queue, and the interpreter timer.
#include "runtime/DelayQueue.hh"

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/runtime/FakeClocks.hh"

namespace {

constexpr long long S = 1000000;  // microseconds

// Logs its name when it fires, then runs its action.
struct Named : DelayQueueEntry {
  Named(char id, long long delay, std::string& firings)
      : DelayQueueEntry(DelayInterval(delay / S, delay % S)), name(id), log(firings) {}
  void handleTimeout() override {
    log += name;
    if (action) action(this);
  }
  char const name;
  std::string& log;
  std::function<void(Named*)> action;
};

class DelayQueueTest : public testing::Test {
 protected:
  Named* add(char name, long long delay) {
    entries.push_back(std::make_unique<Named>(name, delay, log));
    queue->addEntry(entries.back().get());
    return entries.back().get();
  }
  std::string tickAfter(long long step) {  // the names fired
    log.clear();
    clock.advance(step);
    queue->tick();
    return log;
  }
  std::string layout() const {  // "name:delta-in-usecs ..." from the head
    std::string out;
    for (DelayQueueEntry* e = queue->head(); e; e = queue->following(e))
      out += static_cast<Named*>(e)->name +
             (":" + std::to_string(e->delta().seconds() * S + e->delta().useconds())) + " ";
    return out;
  }

  FakeClock clock{EventTime(1000000, 0)};
  std::string log;
  std::vector<std::unique_ptr<Named>> entries;  // destroyed after the queue
  std::unique_ptr<DelayQueue> queue = std::make_unique<DelayQueue>(SECOND);
};

TEST_F(DelayQueueTest, DeltasAreRelativeToThePreviousEntry) {
  Named* a = add('A', S);
  add('B', 3 * S), add('C', 3 * S);
  Named* d = add('D', 2 * S);
  EXPECT_EQ(layout(), "A:1000000 D:1000000 B:1000000 C:0 ");
  queue->removeEntry(d);  // B keeps its due time
  queue->removeEntry(d);  // no longer queued: ignored
  queue->updateEntry(a, DelayInterval(4, 0));
  EXPECT_EQ(layout(), "B:3000000 C:0 A:1000000 ");
  EXPECT_EQ(queue->delta(), ETERNITY);
  queue.reset();
  EXPECT_FALSE(a->isQueued());
}

TEST_F(DelayQueueTest, FiresOnTheFirstTickAtOrAfterTheDueTime) {
  struct {
    char const* what;
    std::vector<std::pair<char, long long>> entries;
    std::vector<std::pair<long long, char const*>> ticks;  // clock step, names fired
  } const cases[] = {
      {"equal due times fire in the order added",
       {{'A', 2 * S}, {'B', 2 * S}, {'C', S}},
       {{S, "C"}, {S, "AB"}}},
      {"elapsed exactly the delta fires", {{'A', 1500000}}, {{1499999, ""}, {1, "A"}}},
      {"2.5 s fires on the third 1 s tick", {{'A', 2500000}}, {{S, ""}, {S, ""}, {S, "A"}}},
      {"a jump forward fires all due, in order",
       {{'A', 5 * S}, {'B', 2 * S}, {'C', 9 * S}},
       {{7 * S, "BA"}, {S, ""}, {S, "C"}}},
      {"an hour back loses one tick, no more",
       {{'A', 2 * S}, {'B', 3 * S}},
       {{S, ""}, {-3600 * S, ""}, {S, "A"}, {S, "B"}}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    queue = std::make_unique<DelayQueue>(SECOND);
    for (auto const& [name, delay] : c.entries) add(name, delay);
    for (auto const& [step, fired] : c.ticks) EXPECT_EQ(tickAfter(step), fired);
  }
  // An entry added between ticks counts from the last tick.
  clock.advance(900000);
  add('X', S);
  EXPECT_EQ(tickAfter(100000), "X");
}

TEST_F(DelayQueueTest, HandlersMayChangeTheQueue) {
  // Handlers run unlocked; an entry one adds is timed from the firing
  // entry's due time, so it may fire in the same tick.
  bool alarmBlocked = true;
  add('A', S)->action = [&](Named*) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    alarmBlocked = sigismember(&mask, SIGALRM);
    add('C', S), add('D', 2 * S);
  };
  EXPECT_EQ(tickAfter(2500000), "AC");
  EXPECT_FALSE(alarmBlocked);
  EXPECT_EQ(tickAfter(500000), "D");

  // A repeating entry catches up once per period; one may remove another.
  Named* b = add('B', 5 * S);
  add('R', S)->action = [this, b](Named* self) {
    queue->removeEntry(b);
    queue->updateEntry(self, SECOND);
  };
  EXPECT_EQ(tickAfter(3500000), "RRR");
  EXPECT_EQ(tickAfter(500000), "R");
  EXPECT_FALSE(b->isQueued());

  // The default handler deletes the entry.
  struct OneShot : DelayQueueEntry {
    OneShot(bool& flag) : DelayQueueEntry(ZERO), deleted(flag) {}
    ~OneShot() override { deleted = true; }
    bool& deleted;
  };
  bool deleted = false;
  queue->removeEntry(entries.back().get());
  queue->addEntry(new OneShot(deleted));
  tickAfter(0);
  EXPECT_TRUE(deleted);
}

// One granularity after each tick the interpreter timer ticks again. A
// direct tick replaces the pending timer rather than adding a second, and a
// destroyed queue leaves none behind.
TEST_F(DelayQueueTest, InterpreterTimerTicksOncePerGranularity) {
  struct {
    DelayInterval granularity;
    long ms;
  } const cases[] = {{SECOND, 1000}, {DelayInterval(2, 500000), 2500}, {DelayInterval(0, 1999), 1}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.ms);
    FakeTclTime tclTime;
    queue = std::make_unique<DelayQueue>(c.granularity);
    queue->tick();
    int ticks = FakeClock::reads;
    for (auto [step, expectTick] : {std::pair{c.ms - 1, 0}, {1L, 1}, {c.ms, 1}}) {
      tclTime.advanceMs(step);
      runDueTimers();
      EXPECT_EQ(FakeClock::reads, ticks += expectTick) << step;
    }
    queue.reset();
    tclTime.advanceMs(c.ms);
    EXPECT_EQ(runDueTimers(), 0);
  }
}

}  // namespace
