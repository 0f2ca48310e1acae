// The size of the largest single allocation the process has made since the last reset, to show
// that code never sizes a buffer by what a peer merely announces.
#pragma once

#include <cstddef>

std::size_t largestallocation();
void resetlargestallocation();
