// The two value lines of growplain and growsplit, recomputed element by element without storing
// the array, for the full-size test: at N = 2e9 the printed digits carry every bit, so they are
// compared exactly. Written from the programs' stated arithmetic, sharing no code with them.
//
// USAGE   growstream N        growplain's final Sn and check value
//         growstream N T      growsplit's opt[N] and check value for a team of T threads
// Prints the value with %.17g and the check value with %f, one per line.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr double kRatio = 1.00000001;  // the multiplier and the starting value alike

// The check value adds the squares of the elements in index order, one rounding each.
struct Check {
  double sum = 0.0;
  void add(double element) { sum = std::fma(element, element, sum); }
};

bool parse(const char* text, long long low, long long high, long long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && out >= low && out <= high;
}
}  // namespace

int main(int argc, char** argv) {
  long long n = 0;
  long long team = 0;
  if ((argc != 2 && argc != 3) || !parse(argv[1], 1, INT32_MAX - 1, n) ||
      (argc == 3 && !parse(argv[2], 1, 4096, team))) {
    std::fprintf(stderr, "usage: growstream N [THREADS]  (1 <= N < 2^31 - 1, 1 <= THREADS <= 4096)\n");
    return 2;
  }

  Check check;
  double value = 0.0;
  if (team == 0) {
    // Element k is the running value before its multiplication; the value printed is one past.
    double sn = kRatio;
    for (long long k = 0; k <= n; ++k) {
      check.add(sn);
      sn *= kRatio;
    }
    value = sn;
  } else {
    // Blocks of n / team indices, the last one running to n; each restarts from pow at its
    // first index and multiplies before it stores. Blocks follow each other in index order.
    const long long chunk = n / team;
    for (long long t = 0; t < team; ++t) {
      const long long first = t * chunk;
      const long long last = t == team - 1 ? n : first + chunk - 1;
      double r = std::pow(kRatio, static_cast<double>(first)) * kRatio;
      for (long long i = first; i <= last; ++i) {
        r *= kRatio;
        check.add(r);
      }
      value = r;
    }
  }
  std::printf("%.17g\n%f\n", value, check.sum / static_cast<double>(n));
  return 0;
}
