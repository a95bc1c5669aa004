// A pair of traffic counters. They are single-precision on purpose: scripts
// read them in "%f" form, and the packet count stops growing at 2^24.
#ifndef VELDRA_GROUPSOCK_NETINTERFACETRAFFICSTATS_HH
#define VELDRA_GROUPSOCK_NETINTERFACETRAFFICSTATS_HH

class NetInterfaceTrafficStats {
 public:
  void countPacket(unsigned packetSize) {
    packetCount_ += 1;
    byteCount_ += static_cast<float>(packetSize);
  }
  bool haveSeenTraffic() const { return packetCount_ != 0; }
  float packetCount() const { return packetCount_; }
  float byteCount() const { return byteCount_; }

 private:
  float packetCount_ = 0;
  float byteCount_ = 0;
};

#endif
