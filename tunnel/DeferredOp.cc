// The tunnel's deferred operations: repeated commands and membership lapses.
#include "tunnel/DeferredOp.hh"

#include "tunnel/UDPtunnel.hh"

DeferredOp::DeferredOp(DelayInterval delay, UDPtunnel& tunnel, unsigned groupAddress,
                       unsigned sourceFilterAddr, Port port)
    : DelayQueueEntry(delay),
      tunnel_(tunnel),
      groupAddress_(groupAddress),
      sourceFilterAddr_(sourceFilterAddr),
      port_(port) {}

// The tunnel's entry is looked at first: removing by key alone would drop an
// operation that has replaced this one.
void DeferredOp::forgetInTunnel() {
  DeferredOpLookupTable& ops = tunnel_.deferredOps();
  if (ops.Lookup(groupAddress_, sourceFilterAddr_, port_) == this) ops.Remove(this);
}

RepeatedCmd::RepeatedCmd(UDPtunnel& tunnel, unsigned groupAddress, unsigned sourceFilterAddr,
                         Port port, unsigned remainingCount, DelayInterval anInterval,
                         unsigned char cmd, unsigned char ttl)
    : DeferredOp(anInterval, tunnel, groupAddress, sourceFilterAddr, port),
      remainingCount_(remainingCount),
      interval(anInterval),
      cmd_(cmd),
      ttl_(ttl) {}

// Runs inside the queue's tick, so the re-queued delay counts from the due
// time of this firing: the repetitions keep their spacing however late the
// tick comes.
void RepeatedCmd::handleTimeout() {
  tunnel().sendCmdAcrossTunnel(cmd_, groupAddress(), sourceFilterAddr(), port(), ttl_);
  if (--remainingCount_ != 0) {
    processDelayQueue().updateEntry(this, interval);
    return;
  }
  forgetInTunnel();
  delete this;
}

JoinGroupTimeout::JoinGroupTimeout(DelayInterval delay, UDPtunnel& tunnel, unsigned groupAddress,
                                   unsigned sourceFilterAddr, Port port)
    : DeferredOp(delay, tunnel, groupAddress, sourceFilterAddr, port) {}

void JoinGroupTimeout::handleTimeout() {
  forgetInTunnel();
  tunnel().leaveGroup(groupAddress(), sourceFilterAddr(), port(), JoinMode::PEER);
  delete this;
}
