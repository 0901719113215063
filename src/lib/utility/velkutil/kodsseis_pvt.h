// The data source's step timing, for benchmarks and diagnosis: the wall
// time of each step of the last loading plan that the calling thread ran.
#ifndef VELKUTIL_KODSSEIS_PVT_H
#define VELKUTIL_KODSSEIS_PVT_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DsseisStepTime {
    const char *name; /* the step ("subset wfdisc", "sort", "join sitechan", ...) */
    double seconds;     /* wall time */
    double cpu_seconds; /* processor time of the calling thread */
} DsseisStepTime;

/* Copies at most max steps of the calling thread's last loading plan, in
 * order, into steps; returns how many steps it had. */
int dsseis_plan_steps(DsseisStepTime *steps, int max);

#ifdef __cplusplus
}
#endif

#endif
