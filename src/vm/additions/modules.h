// Extension modules register themselves on the program root after the core environment is built.
#pragma once

namespace TARN4SOCKETS {
void init();  // attaches "socket"
// Closes and frees every endpoint programs made; for the machine's reset between runs.
void resetsockets();
}

namespace T4VMHASHING {
void init();  // attaches "hashing"
}
