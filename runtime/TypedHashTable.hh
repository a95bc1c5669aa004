// The typed face of HashTable: every keyed table of the engine is one of
// these, with its own key type. A table owns none of its values.
//
// A key type says which HashTable key type it is (KEY_TYPE) and gives its
// bytes (text()). It is made from the parts a caller names (Lookup(group,
// source, port)), and, for a table whose values carry their own key, from
// the value itself (Add(value), Remove(value)).
#ifndef VELDRA_RUNTIME_TYPEDHASHTABLE_HH
#define VELDRA_RUNTIME_TYPEDHASHTABLE_HH

#include <cstdint>

#include "runtime/HashTable.hh"

// A one-word key: a number (a descriptor, a port) or an object's address.
struct WordKey {
  static constexpr int KEY_TYPE = HashTable::ONE_WORD_KEYS;
  explicit WordKey(uintptr_t value) : word(value) {}
  explicit WordKey(void const* object) : word(reinterpret_cast<uintptr_t>(object)) {}
  char const* text() const { return reinterpret_cast<char const*>(word); }
  uintptr_t word;
};

// A key of N 32-bit words, compared as a whole.
template <int N>
struct WordsKey {
  static constexpr int KEY_TYPE = N;
  char const* text() const { return reinterpret_cast<char const*>(words); }
  uint32_t words[N];
};
static_assert(sizeof(int) == sizeof(uint32_t), "the hash table's key words are ints");

template <class Value, class Key>
class TypedHashTable {
 public:
  TypedHashTable() : table_(HashTable::create(Key::KEY_TYPE)) {}
  ~TypedHashTable() { delete table_; }
  TypedHashTable(TypedHashTable const&) = delete;
  TypedHashTable& operator=(TypedHashTable const&) = delete;

  // Stores value under key (without one: under the value's own key).
  // Returns the value it replaced, or nullptr when the key was new or held
  // this same value.
  Value* Add(Key const& key, Value const* value) {
    return static_cast<Value*>(table_->Add(key.text(), const_cast<Value*>(value)));
  }
  Value* Add(Value const* value) { return Add(Key(value), value); }
  // Removes the entry under the key made of parts; true if there was one.
  // The value is not touched.
  template <class... Parts>
  bool Remove(Parts const&... parts) {
    return table_->Remove(Key(parts...).text());
  }
  // The value under the key made of parts, or nullptr.
  template <class... Parts>
  Value* Lookup(Parts const&... parts) const {
    return static_cast<Value*>(table_->Lookup(Key(parts...).text()));
  }
  unsigned numEntries() const { return table_->numEntries(); }
  bool IsEmpty() const { return numEntries() == 0; }

  // Walks the values in the table's order. Nothing may be added or removed
  // during a walk but the value just returned, which may be removed.
  class Iterator {
   public:
    explicit Iterator(TypedHashTable const& table)
        : iter_(HashTable::Iterator::create(*table.table_)) {}
    ~Iterator() { delete iter_; }
    Iterator(Iterator const&) = delete;
    Iterator& operator=(Iterator const&) = delete;
    Value* next() {  // nullptr at the end
      char const* key;
      return static_cast<Value*>(iter_->next(key));
    }

   private:
    HashTable::Iterator* iter_;
  };

 private:
  HashTable* table_;
};

#endif
