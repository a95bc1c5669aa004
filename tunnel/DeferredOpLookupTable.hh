// A tunnel's pending timed operations, at most one per (group, source filter
// or all ones, port): Add(op) stores op under its own key and returns the
// operation stored there before (the caller cancels and deletes that one),
// Lookup(group, source, port) finds one, Remove(op) removes the entry under
// op's key. The table owns none of them; the tunnel does.
#ifndef VELDRA_TUNNEL_DEFERREDOPLOOKUPTABLE_HH
#define VELDRA_TUNNEL_DEFERREDOPLOOKUPTABLE_HH

#include "groupsock/AddressPortLookupTable.hh"

class DeferredOp;

using DeferredOpLookupTable = AddressPortLookupTable<DeferredOp>;

#endif
