// A keyed table that does not own its values. Key types are the interpreter
// library's: 0 = text keys (copied), 1 = one-word keys (the pointer-sized
// value itself), n >= 2 = keys of n 32-bit words (copied). Keys are always
// passed as a char pointer carrying whichever form the table was created with.
#ifndef VELDRA_RUNTIME_HASHTABLE_HH
#define VELDRA_RUNTIME_HASHTABLE_HH

class HashTable {
 public:
  static constexpr int STRING_KEYS = 0;
  static constexpr int ONE_WORD_KEYS = 1;

  // A new table of the given key type, owned by the caller.
  static HashTable* create(int keyType);

  virtual ~HashTable();

  // Stores value under key. Returns the value it replaced, or nullptr when
  // the key was new or already held this same value.
  virtual void* Add(char const* key, void* value) = 0;
  // True if an entry was removed. The value is not touched.
  virtual bool Remove(char const* key) = 0;
  virtual void* Lookup(char const* key) const = 0;
  virtual unsigned numEntries() const = 0;

  // Removes the first entry in iteration order and returns its value.
  void* RemoveNext();
  // The value of the first entry in iteration order, or nullptr.
  void* getFirst();

  // Walks the table. The next entry is fetched before the current one is
  // returned, so the caller may remove the entry just returned (only that
  // one) before the next call.
  class Iterator {
   public:
    static Iterator* create(HashTable const& hashTable);
    virtual ~Iterator();
    // The next value, with key set to the key (for one-word tables the key
    // value itself, otherwise a pointer to the stored key); nullptr at the
    // end, leaving key untouched.
    virtual void* next(char const*& key) = 0;

   protected:
    Iterator() = default;
  };

 protected:
  HashTable() = default;
};

#endif
