/* Wall-clock timer shared by the timed programs of the suite, usable from C and C++. */
#ifndef OMPSUITE_TIMER_H
#define OMPSUITE_TIMER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Seconds on the monotonic clock. The origin is arbitrary: only differences between two
   readings mean anything, and they do not follow changes of the calendar time. */
double walltime(void);

#ifdef __cplusplus
}
#endif

#endif
