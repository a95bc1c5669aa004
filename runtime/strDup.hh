// Heap copies of texts. The caller owns the result and releases it with delete[].
#ifndef VELDRA_RUNTIME_STRDUP_HH
#define VELDRA_RUNTIME_STRDUP_HH

// A copy of text, or nullptr for nullptr.
char* strDup(char const* text);
// An uninitialised array with room for a copy of text, or nullptr for nullptr.
char* strDupSize(char const* text);
// The same; size is set to the array's length, 0 for nullptr.
char* strDupSize(char const* text, unsigned& size);

#endif
