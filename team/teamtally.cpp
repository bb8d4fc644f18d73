// NAME    teamtally - how a thread team forms and shares a dynamically scheduled reduction
// PURPOSE Reports the nesting setting, the team size and each thread's start, holds the team at
//         a barrier, then sums 0 ... 999999 in chunks of 10 handed out on demand.
// USAGE   teamtally            (arguments are ignored; OMP_NUM_THREADS sets the team)
#include <omp.h>

#include <cstdio>

#include "output_status.h"

int main() {
  // Newer OpenMP deprecates this query; the report is about exactly what it answers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const int nested = omp_get_nested();
#pragma GCC diagnostic pop
  std::printf("Nested parallelism is %s\n", nested ? "supported" : "not supported");

  double total = 0.0;
#pragma omp parallel default(none) shared(total)
  {
    const int tid = omp_get_thread_num();
    if (tid == 0) {
      std::printf("Number of threads = %d\n", omp_get_num_threads());
    }
    std::printf("Thread %d is starting...\n", tid);
#pragma omp barrier
#pragma omp for schedule(nonmonotonic : dynamic, 10) reduction(+ : total) nowait
    for (int i = 0; i < 1000000; ++i) {
      total = total + static_cast<double>(i);
    }
  }

  std::printf("Thread %d is done! Total= %e\n", -1, total);
  return output_status("teamtally");
}
