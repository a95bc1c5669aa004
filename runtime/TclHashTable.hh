// HashTable on the interpreter library's hash tables.
#ifndef VELDRA_RUNTIME_TCLHASHTABLE_HH
#define VELDRA_RUNTIME_TCLHASHTABLE_HH

#include <tcl.h>

#include "runtime/HashTable.hh"

class TclHashTable : public HashTable {
 public:
  explicit TclHashTable(int keyType);
  // Releases the entries and stored keys, never the values.
  ~TclHashTable() override;

  void* Add(char const* key, void* value) override;
  bool Remove(char const* key) override;
  void* Lookup(char const* key) const override;
  unsigned numEntries() const override { return entryCount; }

  class Iterator : public HashTable::Iterator {
   public:
    explicit Iterator(TclHashTable const& table);
    void* next(char const*& key) override;

   private:
    TclHashTable const& table;
    Tcl_HashSearch search;
    Tcl_HashEntry* nextEntry;
  };

 private:
  unsigned entryCount;
  mutable Tcl_HashTable table;
};

#endif
