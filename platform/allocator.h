#pragma once
// Allocator settings of the service process, applied before anything else.

// Lists of 100,000 APs build and free some 400,000 small tree nodes at once.
// With glibc's fast bins, those blocks are merged later in one long go
// (malloc_consolidate), a third of the cost of such a list; without them,
// the per-thread cache still serves the steady small allocations.
void tune_allocator();
