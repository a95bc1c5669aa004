// Argument checking, list splitting and result formatting for script commands.
#include "runtime/ArgumentHelpers.hh"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Holds one split-list block at a time, so short lists need no allocation.
alignas(char*) char staticSLBuffer[SPLIT_LIST_STATIC_SIZE];

// Whether p points into staticSLBuffer.
bool inStaticBuffer(void const* p) {
  auto const addr = reinterpret_cast<uintptr_t>(p);
  auto const start = reinterpret_cast<uintptr_t>(staticSLBuffer);
  return addr >= start && addr < start + sizeof staticSLBuffer;
}

}  // namespace

// Accepts argc between the required and the total number of words (the
// command word plus the names; names starting with "?" are optional).
// Otherwise appends the usage message, without resetting the result.
bool CheckNumArgs(Tcl_Interp* interp, int argc, char const** argv, char const* firstName, ...) {
  std::vector<char const*> names;
  va_list args;
  va_start(args, firstName);
  for (char const* name = firstName; name != nullptr; name = va_arg(args, char const*))
    names.push_back(name);
  va_end(args);

  int const total = 1 + static_cast<int>(names.size());
  int optional = 0;
  for (char const* name : names)
    if (name[0] == '?') ++optional;
  if (total - optional <= argc && argc <= total) return true;

  char const* command = argc > 0 ? argv[0] : "";
  Tcl_AppendResult(interp, "wrong # args: should be \"", command, static_cast<char*>(nullptr));
  for (char const* name : names) Tcl_AppendResult(interp, " ", name, static_cast<char*>(nullptr));
  Tcl_AppendResult(interp, "\"", static_cast<char*>(nullptr));
  return false;
}

// Splits list with the interpreter library's own list split, then lays the
// elements out as one block: the null-terminated pointer array followed by
// the texts. The block's size is bounded by the list text: (white-space
// count + 2) pointers plus the text's length + 1. It goes into
// staticSLBuffer when that bound fits and list is not itself a text inside
// the buffer (an element of an earlier split still in use), else onto the heap.
int ourTcl_SplitList(Tcl_Interp* interp, char const* list, int& argc, char**& argv) {
  size_t spaces = 0;
  size_t const length = std::strlen(list);
  for (size_t i = 0; i < length; ++i)
    if (std::isspace(static_cast<unsigned char>(list[i]))) ++spaces;
  size_t const boundSize = (spaces + 2) * sizeof(char*) + length + 1;

  int count;
  char const** elements;
  if (Tcl_SplitList(interp, list, &count, &elements) != TCL_OK) {
    argc = 0;
    argv = nullptr;
    return TCL_ERROR;
  }

  // What the elements really need; never more than the bound, but the
  // block must hold them whatever the library's escapes produce.
  size_t neededSize = (count + 1) * sizeof(char*);
  for (int i = 0; i < count; ++i) neededSize += std::strlen(elements[i]) + 1;
  size_t const blockSize = neededSize > boundSize ? neededSize : boundSize;

  char* block;
  if (blockSize <= sizeof staticSLBuffer && !inStaticBuffer(list))
    block = staticSLBuffer;
  else
    block = static_cast<char*>(::operator new(blockSize));

  char** pointers = reinterpret_cast<char**>(block);
  char* texts = block + (count + 1) * sizeof(char*);
  for (int i = 0; i < count; ++i) {
    size_t const size = std::strlen(elements[i]) + 1;
    std::memcpy(texts, elements[i], size);
    pointers[i] = texts;
    texts += size;
  }
  pointers[count] = nullptr;
  Tcl_Free(reinterpret_cast<char*>(elements));

  argc = count;
  argv = pointers;
  return TCL_OK;
}

// Releases a heap block; null and the static buffer are left alone.
void ourSplitListFree(char** argv) {
  if (argv == nullptr || splitListIsStatic(argv)) return;
  ::operator delete(argv);
}

// Whether argv is the block in staticSLBuffer.
bool splitListIsStatic(char** argv) {
  return argv != nullptr && reinterpret_cast<char*>(argv) == staticSLBuffer;
}

// Splits list and checks it has exactly n elements. After a parse error the
// error is the result and nothing is left to free; otherwise argv is the
// caller's to free, and a wrong count appends a message to the result.
bool ParseList(char const* list, unsigned n, char**& argv, Tcl_Interp* interp) {
  int argc;
  if (ourTcl_SplitList(interp, list, argc, argv) != TCL_OK) return false;
  if (static_cast<unsigned>(argc) == n) return true;

  char count[16];
  std::snprintf(count, sizeof count, "%u", n);
  Tcl_AppendResult(interp, "argument \"", list, "\" must be a ", count, "-element list",
                   static_cast<char*>(nullptr));
  return false;
}

// Appends value, widened to double, in "%f" form as one list element.
void AppendFloat(Tcl_Interp* interp, float value) {
  char text[64];  // "%f" of the largest float needs 47 characters
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  Tcl_AppendElement(interp, text);
}
