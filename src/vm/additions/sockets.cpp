#include "vm/additions/modules.h"

namespace TARN4SOCKETS {
void init() {}
}  // namespace TARN4SOCKETS
