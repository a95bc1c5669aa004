// A tunnel's timed work on TheDelayQueue, one per (group, source filter or
// all ones, port): the repetition of a JOIN or LEAVE command, and the lapse
// of a membership the peer asked for. Each belongs to its tunnel, which
// cancels and deletes it when it is replaced or when the tunnel goes;
// otherwise it deletes itself when it is done.
#ifndef VELDRA_TUNNEL_DEFERREDOP_HH
#define VELDRA_TUNNEL_DEFERREDOP_HH

#include "groupsock/Port.hh"
#include "runtime/DelayQueue.hh"

class UDPtunnel;

class DeferredOp : public DelayQueueEntry {
 public:
  UDPtunnel& tunnel() const { return tunnel_; }
  unsigned groupAddress() const { return groupAddress_; }          // network order
  unsigned sourceFilterAddr() const { return sourceFilterAddr_; }  // all ones: none
  Port port() const { return port_; }

 protected:
  // Due delay after it is added to the queue.
  DeferredOp(DelayInterval delay, UDPtunnel& tunnel, unsigned groupAddress,
             unsigned sourceFilterAddr, Port port);

  // Takes this operation's entry out of its tunnel's table, if the entry
  // is still this operation.
  void forgetInTunnel();

 private:
  UDPtunnel& tunnel_;
  unsigned groupAddress_;
  unsigned sourceFilterAddr_;
  Port port_;
};

// Sends a tunnel command remainingCount more times, interval apart.
class RepeatedCmd : public DeferredOp {
 public:
  RepeatedCmd(UDPtunnel& tunnel, unsigned groupAddress, unsigned sourceFilterAddr, Port port,
              unsigned remainingCount, DelayInterval interval, unsigned char cmd,
              unsigned char ttl);

  // Called by the delay queue: sends the command again, then re-queues
  // itself, or, after the last send, leaves the tunnel's table and deletes
  // itself.
  void handleTimeout() override;

  unsigned remainingCount() const { return remainingCount_; }
  unsigned char cmd() const { return cmd_; }
  unsigned char ttl() const { return ttl_; }

 private:
  unsigned remainingCount_;
  DelayInterval interval;
  unsigned char cmd_;
  unsigned char ttl_;
};

// Ends a peer-requested membership when the peer has not renewed it in time.
class JoinGroupTimeout : public DeferredOp {
 public:
  JoinGroupTimeout(DelayInterval delay, UDPtunnel& tunnel, unsigned groupAddress,
                   unsigned sourceFilterAddr, Port port);

  // Called by the delay queue: leaves the tunnel's table, leaves the group
  // as the peer would (mode 0) and deletes itself.
  void handleTimeout() override;
};

#endif
