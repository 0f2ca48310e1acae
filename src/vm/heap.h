// The heap behind getallocvar: every variable lives in a pool the collector sweeps and the
// machine's reset frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vm/vm.h"

namespace T4VM {

variable* allocatevariable(std::uint64_t seq);  // a default variable with the given creation number
// Deletes every variable the collector did not mark and clears the marks of the others; returns
// how many are left.
std::size_t sweepheap();
void freeheap();         // deletes every variable; only between runs
void resetfactory();     // creation numbers start again, nothing is pinned; only between runs
std::size_t heapsize();  // number of live variables
std::size_t methodcount(methodkind kind);
// Objects of the machine's own that the collector keeps whether or not anything refers to them.
void pinvariable(variable* value);
const std::vector<variable*>& pinnedvariables();

void noteallocation();      // counts towards the next collection
void notetextbytes(std::size_t bytes);  // so do large texts
bool collectiondue();
void collectgarbage();      // only at a safe point between instruction steps
void resetcollector();

}  // namespace T4VM
