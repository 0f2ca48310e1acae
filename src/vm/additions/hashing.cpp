#include "vm/additions/modules.h"

namespace T4VMHASHING {
void init() {}
}  // namespace T4VMHASHING
