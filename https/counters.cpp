#include "https/counters.h"

ConnectionCounters& https_counters() {
    static ConnectionCounters counters;
    return counters;
}
