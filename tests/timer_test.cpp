// The timer reads the monotonic clock: non-decreasing, measures a sleep, not calendar time.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "ompsuite/timer.h"

namespace {
int failures = 0;

void check(bool ok, const char* what, double expected, double observed) {
  if (!ok) {
    std::fprintf(stderr, "FAIL %s: expected %.9f, observed %.9f\n", what, expected, observed);
    ++failures;
  }
}

double monotonic_now() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
}  // namespace

int main() {
  double prev = walltime();
  for (int k = 0; k < 1000000; ++k) {
    const double now = walltime();
    check(now >= prev, "successive readings do not decrease", prev, now);
    if (now < prev) break;
    prev = now;
  }

  const double t0 = walltime();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double slept = walltime() - t0;
  // A sleep lasts at least as long as asked; the generous upper bound only catches a wrong scale.
  check(slept >= 0.999 && slept < 3.0, "a one-second sleep", 1.0, slept);

  // It reads the monotonic clock, which does not follow changes of the calendar time.
  const double mine = walltime();
  const double clock = monotonic_now();
  check(std::fabs(clock - mine) < 0.1, "agrees with CLOCK_MONOTONIC", clock, mine);

  std::printf("%s\n", failures == 0 ? "timer: all checks passed" : "timer: checks failed");
  return failures == 0 ? 0 : 1;
}
