// The engine's own timers: one process-wide delta list of timed entries,
// polled once per granularity from an interpreter timer.
#ifndef VELDRA_RUNTIME_DELAYQUEUE_HH
#define VELDRA_RUNTIME_DELAYQUEUE_HH

#include "runtime/RWLock.hh"
#include "runtime/Timeval.hh"

// Base class of every timed object. While queued, deltaRemaining is the time
// between the due time of the previous entry (or the queue's last tick, for
// the first entry) and this entry's due time.
class DelayQueueEntry {
 public:
  virtual ~DelayQueueEntry();

  // Called by the queue when the entry falls due, after it has been unlinked
  // and with the queue's lock released. The default deletes the entry.
  virtual void handleTimeout();

  DelayInterval const& delta() const { return deltaRemaining; }
  bool isQueued() const { return next != nullptr; }

 protected:
  explicit DelayQueueEntry(DelayInterval delay);

 private:
  friend class DelayQueue;

  DelayQueueEntry* next;
  DelayQueueEntry* prev;
  DelayInterval deltaRemaining;
};

// The queue is the sentinel of its own circular list; its delta is ETERNITY.
// It does not own its entries.
class DelayQueue : public DelayQueueEntry {
 public:
  // Performs the first tick, which arms the interpreter timer.
  explicit DelayQueue(DelayInterval granularity);
  // Unlinks the remaining entries without deleting them and disarms the
  // queue's interpreter timer.
  ~DelayQueue() override;

  void addEntry(DelayQueueEntry* newEntry);
  void updateEntry(DelayQueueEntry* entry, DelayInterval newDelay);
  void removeEntry(DelayQueueEntry* entry);

  // Reads the clock once, fires every entry that has fallen due since the
  // previous tick and re-arms the interpreter timer one granularity ahead
  // (replacing any timer still pending, so exactly one is ever armed).
  void tick();

  DelayInterval const& getGranularity() const { return granularity; }
  EventTime const& getLastSyncTime() const { return lastSyncTime; }
  DelayQueueEntry* head() const { return next == this ? nullptr : next; }
  DelayQueueEntry* following(DelayQueueEntry const* entry) const {
    return entry->next == this ? nullptr : entry->next;
  }

 private:
  void addEntry1(DelayQueueEntry* newEntry);
  void removeEntry1(DelayQueueEntry* entry);

  DelayInterval granularity;
  EventTime lastSyncTime;
  RWLock lock;
  void* armedTimer;  // the pending interpreter timer's token
};

// The interpreter timer procedure; clientData is the queue.
void Tick(void* clientData);

// The one process-wide queue, or nullptr before processDelayQueue has made
// it; never destroyed.
extern DelayQueue* TheDelayQueue;

// TheDelayQueue, made here, with a granularity of one second, if there is
// none yet: the one place that creates it. Start-up calls it first, once
// the interpreter library is initialised; a process without that start-up
// (a test, a fuzzer) gets its queue on first use.
DelayQueue& processDelayQueue();

#endif
