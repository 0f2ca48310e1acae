// What the machine's reset needs of the heap behind getallocvar.
#pragma once

#include <cstddef>

namespace T4VM {

void freeheap();           // deletes every variable ever made; only between runs
std::size_t heapsize();    // number of live variables

}  // namespace T4VM
