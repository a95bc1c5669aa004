// The process's pseudo-random generator: an additive feedback generator with
// 32-bit state words, so that a given seed always gives the same sequence.
#ifndef VELDRA_GROUPSOCK_OURRANDOM_HH
#define VELDRA_GROUPSOCK_OURRANDOM_HH

#include <cstdint>

void our_srandom(unsigned seed);
long our_random();  // 0 to 2^31 - 1
uint32_t our_random32();
// Switches to a state table in buffer (n bytes, at least 8) and seeds it;
// returns the previous table's header word, or nullptr when n < 8.
char* our_initstate(unsigned seed, char* buffer, int n);
// Switches back to a table that our_initstate set up; returns the previous
// table's header word.
char* our_setstate(char* buffer);

#endif
