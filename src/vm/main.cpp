// The machine's entry point: everything else is in the library.
#include "vm/embed.h"

int main(int argc, char** argv) { return T4VM::runmain(argc, argv); }
