// A tunnel's pending timed operations, at most one per (group, source filter
// or all ones, port). The table owns none of them; the tunnel does.
#ifndef VELDRA_TUNNEL_DEFERREDOPLOOKUPTABLE_HH
#define VELDRA_TUNNEL_DEFERREDOPLOOKUPTABLE_HH

#include "groupsock/AddressPortLookupTable.hh"

class DeferredOp;

class DeferredOpLookupTable {
 public:
  // Stores op under its own key; returns the operation stored there before,
  // or nullptr. The caller cancels and deletes the one returned.
  DeferredOp* Add(DeferredOp const* op);
  DeferredOp* Lookup(unsigned groupAddress, unsigned sourceFilterAddr, Port port);
  // Removes the entry under op's key; true if there was one.
  bool Remove(DeferredOp const* op);

  // Walks the operations; the one just returned may be removed before next().
  class Iterator {
   public:
    explicit Iterator(DeferredOpLookupTable& ops);
    DeferredOp* next();  // nullptr at the end

   private:
    AddressPortLookupTable::Iterator iter;
  };

 private:
  AddressPortLookupTable table;
};

#endif
