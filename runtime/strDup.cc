// Heap copies of texts.
#include "runtime/strDup.hh"

#include <cstring>

// A new array holding a copy of text and its terminating zero.
char* strDup(char const* text) {
  if (text == nullptr) return nullptr;
  size_t size = std::strlen(text) + 1;
  char* copy = new char[size];
  std::memcpy(copy, text, size);
  return copy;
}

// A new, uninitialised array of strlen(text) + 1 characters.
char* strDupSize(char const* text) {
  unsigned size;
  return strDupSize(text, size);
}

// The same, also telling the array's length (0 when there is none).
char* strDupSize(char const* text, unsigned& size) {
  if (text == nullptr) {
    size = 0;
    return nullptr;
  }
  size = static_cast<unsigned>(std::strlen(text) + 1);
  return new char[size];
}
