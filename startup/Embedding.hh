// The store of built-in scripts: each script is an array of scrambled lines,
// registered under its name before main runs.
#ifndef VELDRA_STARTUP_EMBEDDING_HH
#define VELDRA_STARTUP_EMBEDDING_HH

#include <tcl.h>

// One registration record; records are static objects living for the whole
// process. Registering a name twice ends the process.
class Embedding {
 public:
  Embedding(char const** lines, char const* name, unsigned numChars, unsigned numLines);

  char const** lines;  // scrambled lines, terminated by nullptr
  unsigned numChars;   // characters of all lines, line ends not counted
  unsigned numLines;
};

// The descrambled text of the named script, every line followed by a newline;
// the caller releases it with delete[]. Does not return on failure: an
// unknown name or a record that fails its sanity checks ends the process
// with status 1.
char* GetEmbeddedString(char const* name);

// Registers the descramble command.
int Descramble_Init(Tcl_Interp* interp, char const* tag);

#endif
