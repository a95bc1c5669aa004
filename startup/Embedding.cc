#include "startup/Embedding.hh"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/ArgumentHelpers.hh"
#include "runtime/TclUsageEnvironment.hh"
#include "startup/Scrambling.hh"

namespace {

// The registry: script name -> Embedding. Created by the first registration,
// during static initialisation.
Tcl_HashTable registry;
bool registryExists = false;

[[noreturn]] void fatal(char const* format, char const* name = "") {
  std::fprintf(stderr, format, name);
  std::exit(1);
}

// descramble string ?salt
int descrambleCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "string", "?salt", nullptr)) return TCL_ERROR;
  int salt = 0;
  if (argc > 2 && Tcl_GetInt(interp, argv[2], &salt) != TCL_OK) return TCL_ERROR;

  size_t length = std::strlen(argv[1]);
  char* text = Tcl_Alloc(length + 1);
  long offset = scrambling::DESCRAMBLE_BASE - static_cast<long>(salt) * scrambling::LINE_STEP;
  for (size_t i = 0; i < length; ++i) {
    text[i] = scrambling::descrambleChar(static_cast<signed char>(argv[1][i]), offset);
    offset -= scrambling::CHAR_STEP;
  }
  text[length] = '\0';
  Tcl_SetResult(interp, text, TCL_DYNAMIC);
  return TCL_OK;
}

}  // namespace

Embedding::Embedding(char const** lines_, char const* name, unsigned numChars_, unsigned numLines_)
    : lines(lines_), numChars(numChars_), numLines(numLines_) {
  if (!registryExists) {
    Tcl_InitHashTable(&registry, TCL_STRING_KEYS);
    registryExists = true;
  }
  int isNew = 0;
  Tcl_HashEntry* entry = Tcl_CreateHashEntry(&registry, name, &isNew);
  if (!isNew) fatal("Embedding(\"%s\") called twice!\n", name);
  Tcl_SetHashValue(entry, this);
}

char* GetEmbeddedString(char const* name) {
  if (!registryExists) fatal("GetEmbeddedString called before hash table was initialized!\n");
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&registry, name);
  if (entry == nullptr) fatal("GetEmbeddedString: handle \"%s\" not found!\n", name);
  auto const* record = static_cast<Embedding const*>(Tcl_GetHashValue(entry));

  char const* const charCheckFailed = "generateEmbeddedString: numChars sanity check failed!\n";
  char const* const lineCheckFailed = "generateEmbeddedString: numLines sanity check failed!\n";
  char* text = new char[record->numChars + record->numLines + 1];
  char* out = text;
  unsigned charCount = 0;
  unsigned lineCount = 0;
  for (char const** line = record->lines; line != nullptr && *line != nullptr; ++line) {
    long offset = scrambling::lineOffset(lineCount, charCount);
    for (char const* stored = *line; *stored != '\0'; ++stored) {
      if (++charCount > record->numChars) {
        delete[] text;
        fatal(charCheckFailed);
      }
      *out++ = scrambling::descrambleChar(static_cast<signed char>(*stored), offset);
      offset -= scrambling::CHAR_STEP;
    }
    if (++lineCount > record->numLines) {
      delete[] text;
      fatal(lineCheckFailed);
    }
    *out++ = '\n';
  }
  if (charCount != record->numChars) {
    delete[] text;
    fatal(charCheckFailed);
  }
  *out = '\0';
  return text;
}

int Descramble_Init(Tcl_Interp* interp, char const* tag) {
  TclUsageEnvironment::getEnvironFromInterp(interp, tag);
  Tcl_CreateCommand(interp, "descramble", descrambleCmd, nullptr, nullptr);
  return 0;
}
