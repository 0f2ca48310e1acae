// The built-in globals of the program root, attached in the order they are made.
#include "vm/builtins.h"

namespace T4VM {

void attachfiles(variable& root);

void attachbuiltins(variable& root) { attachfiles(root); }

}  // namespace T4VM
