// The process's pseudo-random generator: an additive feedback generator over
// a table of 32-bit words, with a linear congruential fallback for tables
// too small to hold one. All state arithmetic is unsigned 32-bit and wraps,
// so a seed gives the same sequence on every platform.
#include "groupsock/OurRandom.hh"

namespace {

// Generator types: 0 is linear congruential only; 1 to 4 use the feedback
// trinomials x^7+x^3+1, x^15+x+1, x^31+x^3+1 and x^63+x+1. A type's
// degree is the number of state words, its separation the distance from
// the rear pointer to the front pointer.
constexpr int MAX_TYPES = 5;
constexpr int degrees[MAX_TYPES] = {0, 7, 15, 31, 63};
constexpr int seps[MAX_TYPES] = {0, 3, 1, 3, 1};
// The smallest buffer, in bytes, given to our_initstate that selects each
// type: the header word and the type's state words, and then some.
constexpr int breaks[MAX_TYPES] = {8, 32, 64, 128, 256};

constexpr uint32_t LCG_MULTIPLIER = 1103515245;
constexpr uint32_t LCG_INCREMENT = 12345;
// our_srandom discards this many outputs per state word, so that the first
// value drawn no longer shows the seed's simple linear pattern.
constexpr int DISCARDS_PER_WORD = 10;

// The built-in table: its header word (type 3 with the rear pointer at the
// start) and 31 state words for type 3.
uint32_t randtbl[1 + 31] = {
    3,          0x9a319039, 0x32d9c024, 0x9b663182, 0x5da1f342, 0xde3b81e0, 0xdf0a6fb5, 0xf103bc02,
    0x48f340fb, 0x7449e56b, 0xbeb1dbb0, 0xab5c5918, 0x946554fd, 0x8c2e680f, 0xeb3d799f, 0xb11ee0b7,
    0x2d436b86, 0xda672e2a, 0x1588ca88, 0xe369735d, 0x904f35f7, 0xd7158fd6, 0x6fa6f051, 0x616e6b96,
    0xac94efdc, 0x36413f93, 0xc622c298, 0xf5a42ab8, 0x8a88d77b, 0xf5ad9d0e, 0x8999220b, 0x27fb47b9,
};

// The generator in force. state is the word after its table's header word.
int rand_type = 3;
int rand_deg = degrees[3];
int rand_sep = seps[3];
uint32_t* state = &randtbl[1];
uint32_t* fptr = &randtbl[1 + 3];
uint32_t* rptr = &randtbl[1];
uint32_t* end_ptr = &randtbl[1 + 31];

// Saves the table in force in its header word, so that our_setstate can
// return to it: five times the rear pointer's index plus the type, or 0 for
// type 0.
void recordPosition() {
  state[-1] = rand_type == 0 ? 0 : MAX_TYPES * static_cast<uint32_t>(rptr - state) + rand_type;
}

// Makes type (0 to 4) the type in force.
void selectType(int type) {
  rand_type = type;
  rand_deg = degrees[type];
  rand_sep = seps[type];
}

// The header word before state, as our_initstate and our_setstate return it.
char* headerOf(uint32_t* stateWords) { return reinterpret_cast<char*>(stateWords - 1); }

}  // namespace

// Reseeds the table in force: word 0 takes the seed, each further word is
// the previous one run through the linear congruential step, and the first
// 10 * degree outputs are thrown away. For type 0 only word 0 changes.
void our_srandom(unsigned seed) {
  state[0] = seed;
  if (rand_type == 0) return;
  for (int i = 1; i < rand_deg; ++i) state[i] = LCG_MULTIPLIER * state[i - 1] + LCG_INCREMENT;
  fptr = &state[rand_sep];
  rptr = &state[0];
  for (int i = 0; i < DISCARDS_PER_WORD * rand_deg; ++i) our_random();
}

// The next value, 0 to 2^31 - 1. Feedback types add the rear word into the
// front word and return it without its lowest bit; both pointers then move
// on, wrapping at the end of the table.
long our_random() {
  if (rand_type == 0) {
    state[0] = (state[0] * LCG_MULTIPLIER + LCG_INCREMENT) & 0x7FFFFFFF;
    return state[0];
  }
  *fptr += *rptr;
  uint32_t result = *fptr >> 1;
  if (++fptr >= end_ptr) {
    fptr = state;
    ++rptr;
  } else if (++rptr >= end_ptr) {
    rptr = state;
  }
  return result;
}

// 32 random bits from two draws: bits 8 to 23 of each, the first draw's on
// top. Those middle bits are the best mixed of a draw.
uint32_t our_random32() {
  uint32_t random1 = static_cast<uint32_t>(our_random());
  uint32_t random2 = static_cast<uint32_t>(our_random());
  return ((random1 << 8) & 0xFFFF0000) | ((random2 >> 8) & 0x0000FFFF);
}

// Switches to a new table in buffer, n bytes, whose size chooses the type
// (8 to 31 bytes type 0, then 32, 64, 128 and 256 and more for types 1 to 4),
// and seeds it. buffer must be aligned for 32-bit words and stay alive while
// it is in force. Returns the previous table's header word, or nullptr when
// n is below 8 (then only the current table's header word is rewritten).
char* our_initstate(unsigned seed, char* buffer, int n) {
  recordPosition();
  if (n < breaks[0]) return nullptr;
  char* previous = headerOf(state);

  int type = MAX_TYPES - 1;
  while (n < breaks[type]) --type;
  selectType(type);
  state = reinterpret_cast<uint32_t*>(buffer) + 1;
  end_ptr = &state[rand_deg];
  our_srandom(seed);
  recordPosition();
  return previous;
}

// Switches back to a table that our_initstate set up, at the position saved
// in its header word. Returns the previous table's header word. A header
// word that names no type, or a rear position outside its table, is
// refused: nullptr, and the generator in force stays as it is (following it
// would run the pointers off the table).
char* our_setstate(char* buffer) {
  recordPosition();
  char* previous = headerOf(state);

  uint32_t* newState = reinterpret_cast<uint32_t*>(buffer) + 1;
  int32_t word = static_cast<int32_t>(newState[-1]);
  int type = word % MAX_TYPES;
  int rear = word / MAX_TYPES;
  if (type < 0 || type >= MAX_TYPES) return nullptr;
  if (type != 0 && (rear < 0 || rear >= degrees[type])) return nullptr;

  selectType(type);
  state = newState;
  if (rand_type != 0) {
    rptr = &state[rear];
    fptr = &state[(rear + rand_sep) % rand_deg];
  }
  end_ptr = &state[rand_deg];
  return previous;
}
