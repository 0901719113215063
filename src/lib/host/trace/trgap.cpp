// The gap marker of trace data.
#include "tr.h"

extern "C" void trfill_gap(float *samples, long n) {
    if (!samples) return;
    for (long i = 0; i < n; i++) samples[i] = TRGAP_VALUE;
}
