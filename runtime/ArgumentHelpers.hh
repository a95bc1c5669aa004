// Argument checking, list splitting and result formatting shared by every
// script command.
#ifndef VELDRA_RUNTIME_ARGUMENTHELPERS_HH
#define VELDRA_RUNTIME_ARGUMENTHELPERS_HH

#include <tcl.h>

// True when argc fits the parameter names that follow firstName (a
// nullptr-terminated list; a name beginning with "?" is optional). Otherwise
// appends "wrong # args: should be \"cmd name ...\"" to the result and
// returns false.
// argv is what the interpreter hands a string-based command procedure.
bool CheckNumArgs(Tcl_Interp* interp, int argc, char const** argv, char const* firstName, ...);

// Splits list by the interpreter's list syntax into one block of element
// pointers followed by the texts. A block that fits in 400 bytes lives in a
// static buffer (only one such result at a time), larger ones on the heap.
// On error the parse message is the result and nothing is left to release.
int ourTcl_SplitList(Tcl_Interp* interp, char const* list, int& argc, char**& argv);
// Releases a block from ourTcl_SplitList; the static buffer is left alone.
void ourSplitListFree(char** argv);

// Splits list and returns true when it has exactly n elements. On a count
// mismatch appends "argument \"<list>\" must be a <n>-element list". Except
// after a parse error the block is the caller's to free with ourSplitListFree.
bool ParseList(char const* list, unsigned n, char**& argv, Tcl_Interp* interp);

// Appends value in "%f" form to the result as one list element.
void AppendFloat(Tcl_Interp* interp, float value);

// The size of ourTcl_SplitList's static buffer, for tests.
constexpr unsigned SPLIT_LIST_STATIC_SIZE = 400;
// Whether argv lies in the static buffer, for tests.
bool splitListIsStatic(char** argv);

#endif
