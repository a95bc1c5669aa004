// The delay queue: a circular delta list of timed entries whose sentinel is
// the queue itself, polled from an interpreter timer.
#include "runtime/DelayQueue.hh"

#include <tcl.h>

#include <climits>
#include <cstdint>

DelayQueue* TheDelayQueue = nullptr;

DelayQueue& processDelayQueue() {
  if (TheDelayQueue == nullptr) TheDelayQueue = new DelayQueue(SECOND);
  return *TheDelayQueue;
}

// A new entry in no queue; delay counts from the moment it is added.
DelayQueueEntry::DelayQueueEntry(DelayInterval delay)
    : next(nullptr), prev(nullptr), deltaRemaining(delay) {}

// The owner removes a queued entry before deleting it.
DelayQueueEntry::~DelayQueueEntry() {}

// Default action of a one-shot entry: it has nothing more to do.
void DelayQueueEntry::handleTimeout() { delete this; }

// An empty queue; the first tick records the time and arms the timer.
DelayQueue::DelayQueue(DelayInterval tickPeriod)
    : DelayQueueEntry(ETERNITY), granularity(tickPeriod), lastSyncTime(0, 0), armedTimer(nullptr) {
  next = prev = this;
  tick();
}

// Leaves every remaining entry unqueued (not deleted) and disarms the
// timer, whose client data would otherwise point at a dead queue.
DelayQueue::~DelayQueue() {
  Tcl_DeleteTimerHandler(static_cast<Tcl_TimerToken>(armedTimer));
  while (next != this) {
    DelayQueueEntry* entry = next;
    next = entry->next;
    entry->next = entry->prev = nullptr;
  }
  prev = this;
}

// Queues newEntry; its deltaRemaining is its delay from the last tick.
void DelayQueue::addEntry(DelayQueueEntry* newEntry) {
  ScopedRWLock guard(lock);
  addEntry1(newEntry);
}

// Moves entry (queued or not) to newDelay from the last tick. A null entry
// is ignored.
void DelayQueue::updateEntry(DelayQueueEntry* entry, DelayInterval newDelay) {
  if (entry == nullptr) return;
  ScopedRWLock guard(lock);
  removeEntry1(entry);
  entry->deltaRemaining = newDelay;
  addEntry1(entry);
}

// Unqueues entry without deleting it; null or unqueued entries are ignored.
void DelayQueue::removeEntry(DelayQueueEntry* entry) {
  if (entry == nullptr) return;
  ScopedRWLock guard(lock);
  removeEntry1(entry);
}

// Inserts newEntry after every entry due at or before its due time, so that
// entries due together fire in the order they were added. The sentinel's
// delta is never changed: it stays ETERNITY, so nothing is found due past it.
// The lock is held.
void DelayQueue::addEntry1(DelayQueueEntry* newEntry) {
  DelayInterval delay = newEntry->deltaRemaining;
  DelayQueueEntry* cur = next;
  while (cur != this && delay >= cur->deltaRemaining) {
    delay -= cur->deltaRemaining;
    cur = cur->next;
  }
  newEntry->deltaRemaining = delay;
  if (cur != this) cur->deltaRemaining -= delay;  // its due time is unchanged

  newEntry->next = cur;
  newEntry->prev = cur->prev;
  cur->prev->next = newEntry;
  cur->prev = newEntry;
}

// Unlinks entry if it is queued, handing its delta to its successor so that
// later due times are unchanged. The lock is held.
void DelayQueue::removeEntry1(DelayQueueEntry* entry) {
  if (entry == this || !entry->isQueued()) return;
  if (entry->next != this) entry->next->deltaRemaining += entry->deltaRemaining;
  entry->prev->next = entry->next;
  entry->next->prev = entry->prev;
  entry->next = entry->prev = nullptr;
}

// Fires the entries that fell due since the last tick, in due order, then
// re-arms the timer. A clock that went backwards counts as no time passing.
// Each entry is unlinked before its handler runs and the lock is released
// around the handler, which may therefore add, update, remove or delete
// entries, itself included. While a handler runs, the deltas are relative
// to the due time of the entry being fired, so an entry it adds may fire in
// this same tick.
void DelayQueue::tick() {
  lock.rwLock();
  EventTime now = TimeNow();
  DelayInterval elapsed = lastSyncTime.seconds() == 0 ? ZERO : now - lastSyncTime;
  lastSyncTime = now;

  while (next != this && elapsed >= next->deltaRemaining) {
    DelayQueueEntry* due = next;
    elapsed -= due->deltaRemaining;
    due->deltaRemaining = ZERO;
    removeEntry1(due);
    lock.unlock();
    due->handleTimeout();
    lock.rwLock();
  }
  if (next != this) next->deltaRemaining -= elapsed;  // deltas now count from now
  lock.unlock();

  // The next tick comes one granularity after this one; ticks don't catch up.
  int64_t ms = int64_t{granularity.seconds()} * 1000 + granularity.useconds() / 1000;
  if (ms > INT_MAX) ms = INT_MAX;
  if (ms < 0) ms = 0;
  Tcl_DeleteTimerHandler(static_cast<Tcl_TimerToken>(armedTimer));
  armedTimer = Tcl_CreateTimerHandler(static_cast<int>(ms), Tick, this);
}

// Interpreter timer procedure: ticks the queue in clientData. (The token
// that fired is gone from the interpreter; deleting it again is harmless.)
void Tick(void* clientData) { static_cast<DelayQueue*>(clientData)->tick(); }
