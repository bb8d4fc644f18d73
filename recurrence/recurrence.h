// Pieces common to the two recurrence programs: problem size, constants, the array and its
// allocation, and the check value with the two report lines that follow the fill.
#ifndef OMPSUITE_RECURRENCE_H
#define OMPSUITE_RECURRENCE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifndef RECURRENCE_N
#define RECURRENCE_N 2000000000
#endif

// Last index of the array, which has N + 1 elements. The build may lower it (RECURRENCE_N).
constexpr std::int32_t N = RECURRENCE_N;
static_assert(N >= 1 && N < INT32_MAX, "N + 1 must fit the 32-bit loop index");

// The multiplier, and the starting value of the recurrence (the same double).
constexpr double ratio = 1.00000001;

// Transparent huge pages are handed out only to ranges that ask for them on this kind of
// kernel; without them the fill spends nearly all its time in millions of 4 KiB first-touch
// faults. It is only a hint: a kernel that refuses it changes nothing but the speed.
inline void advise_huge_pages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const long pagesize = sysconf(_SC_PAGESIZE);
  if (pagesize <= 0) {
    return;
  }
  const auto page = static_cast<std::uintptr_t>(pagesize);
  const auto first = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes + page - 1) & ~(page - 1);
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// One malloc of N + 1 doubles, never freed. The size (16000000008 bytes as delivered) is
// formed in size_t: it does not fit 32 bits.
inline double* allocate_opt() {
  const std::size_t bytes = (static_cast<std::size_t>(N) + 1) * sizeof(double);
  auto* opt = static_cast<double*>(std::malloc(bytes));
  if (opt == nullptr) {
    std::perror("failed to allocate problem size");
    std::exit(1);
  }
  advise_huge_pages(opt, bytes);
  return opt;
}

// Squares of opt[0..N] added in index order, each with one rounding, divided by N (not N + 1);
// printed as the third report line, followed by the empty last line.
inline void print_check_value(const double* opt) {
  double s = 0.0;
  for (std::int32_t k = 0; k <= N; ++k) {
    s = std::fma(opt[k], opt[k], s);
  }
  std::printf("Result ||opt||^2_2 :  %f\n", s / static_cast<double>(N));
  std::putchar('\n');
}

#endif
