// Process entry.
#include "startup/TclInit.hh"

int main(int argc, char** argv) { return commonMain(argc, argv, "veldraForIntranets.tcl", 1); }
