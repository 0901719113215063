// The host clock: epoch seconds (UTC) as a double.
#include "stock.h"

#include <time.h>

extern "C" double std_now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}
