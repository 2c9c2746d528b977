#pragma once
// Heap bytes currently held through the global operator new of this program
// (usable sizes as malloc reports them). Blocks from malloc itself are not
// counted.

#include <cstdint>

int64_t heap_bytes();
