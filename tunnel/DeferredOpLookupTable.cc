// A tunnel's table of deferred operations, keyed by (group, source, port).
#include "tunnel/DeferredOpLookupTable.hh"

#include "tunnel/DeferredOp.hh"

DeferredOp* DeferredOpLookupTable::Add(DeferredOp const* op) {
  return static_cast<DeferredOp*>(table.Add(op->groupAddress(), op->sourceFilterAddr(), op->port(),
                                            const_cast<DeferredOp*>(op)));
}

DeferredOp* DeferredOpLookupTable::Lookup(unsigned groupAddress, unsigned sourceFilterAddr,
                                          Port port) {
  return static_cast<DeferredOp*>(table.Lookup(groupAddress, sourceFilterAddr, port));
}

bool DeferredOpLookupTable::Remove(DeferredOp const* op) {
  return table.Remove(op->groupAddress(), op->sourceFilterAddr(), op->port());
}

DeferredOpLookupTable::Iterator::Iterator(DeferredOpLookupTable& ops) : iter(ops.table) {}

DeferredOp* DeferredOpLookupTable::Iterator::next() {
  return static_cast<DeferredOp*>(iter.next());
}
