#include "platform/allocator.h"

#include <malloc.h>

void tune_allocator() {
    mallopt(M_MXFAST, 0);
}
