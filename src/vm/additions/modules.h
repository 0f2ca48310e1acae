// Extension modules register themselves on the program root after the core environment is built.
#pragma once

namespace TARN4SOCKETS {
void init();  // attaches "socket"
}

namespace T4VMHASHING {
void init();  // attaches "hashing"
}
