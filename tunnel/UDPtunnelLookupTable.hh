// Every live tunnel of the process, by its peer's address and port: how the
// receive path recognises a sender and the script commands find a tunnel by
// name. The table owns none of the tunnels.
#ifndef VELDRA_TUNNEL_UDPTUNNELLOOKUPTABLE_HH
#define VELDRA_TUNNEL_UDPTUNNELLOOKUPTABLE_HH

#include "groupsock/Port.hh"
#include "runtime/HashTable.hh"

class UDPtunnel;

class UDPtunnelLookupTable {
 public:
  UDPtunnelLookupTable();
  ~UDPtunnelLookupTable();  // deletes the table, not the tunnels
  UDPtunnelLookupTable(UDPtunnelLookupTable const&) = delete;
  UDPtunnelLookupTable& operator=(UDPtunnelLookupTable const&) = delete;

  // Enters the tunnel under its remote address and port; returns the tunnel
  // previously stored there, or nullptr.
  UDPtunnel* Add(UDPtunnel const* tunnel);
  // Removes whatever is stored under the tunnel's remote endpoint; true if
  // there was an entry.
  bool Remove(UDPtunnel const* tunnel);
  // The tunnel to address (network order) and port, or nullptr.
  UDPtunnel* Lookup(unsigned address, Port port) const;

  // Walks the tunnels in the table's order. Nothing may be added or removed
  // while a walk is under way, except the tunnel just returned.
  class Iterator {
   public:
    explicit Iterator(UDPtunnelLookupTable& tunnels);
    ~Iterator();
    Iterator(Iterator const&) = delete;
    Iterator& operator=(Iterator const&) = delete;
    UDPtunnel* next();  // nullptr at the end

   private:
    HashTable::Iterator* iter;
  };

 private:
  HashTable* table;  // two-word keys: remote address, zero-extended port
};

// Every tunnel created successfully and not yet destroyed; entered by its
// creator (a script command or the receive path) and removed just before
// the tunnel is deleted. Lives as long as the process.
extern UDPtunnelLookupTable OurTunnels;

#endif
