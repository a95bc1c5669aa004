// The networks from which a tunnel socket that opens tunnels for strangers
// accepts them, each an address with a prefix length ("10.1.0.0/16").
#ifndef VELDRA_TUNNEL_NETWORKALLOWLIST_HH
#define VELDRA_TUNNEL_NETWORKALLOWLIST_HH

#include <vector>

class NetworkAllowList {
 public:
  // Parses "a.b.c.d/n" (n from 0 to 32) or a bare "a.b.c.d" (one host, /32)
  // into a network-order address and mask; false for anything else. Host
  // bits set in the address are ignored.
  static bool parseNetwork(char const* text, unsigned& network, unsigned& mask);

  void add(unsigned network, unsigned mask);  // network order
  void clear() { networks_.clear(); }
  bool empty() const { return networks_.empty(); }

  // Whether the network-order address lies in one of the networks.
  bool contains(unsigned address) const;

 private:
  struct Network {
    unsigned network;  // network order, host bits cleared
    unsigned mask;     // network order
  };
  std::vector<Network> networks_;
};

#endif
