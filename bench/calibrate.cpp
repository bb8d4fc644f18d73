// NAME    calibrate - this machine's own limits, measured on the spot, for the suite's time model
// PURPOSE Measures the timer's tick, the latency of a dependent double addition and
//         multiplication and the cost of an independent one, the cost per GB of first touch and
//         of writing touched memory at each team size, and per team size the overheads of the
//         OpenMP constructs the suite's programs use. Each figure is the median of repetitions
//         with a distribution-free 95% interval; the figures are printed as CSV.
// USAGE   calibrate [--threads 1,2,4] [--buffer-mib 1024] [--repeats 15] [--quick]
//         (calibrate --help explains the options and the figures)
#include <omp.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ompsuite/timer.h"

namespace {

constexpr int usage_status = 2;
constexpr int allocation_status = 1;

// Seeds read at run time, so that no chain can be folded into a constant. They are only ever
// read, also from inside parallel regions.
volatile double seed_one = 1.0;
volatile double seed_step = 0x1p-40;
volatile double seed_factor = 1.0 + 0x1p-40;  // chains of 1e10 products stay within 1 and 2
// Written only outside parallel regions, so that results are used and the work stays.
volatile double serial_sink = 0.0;

// A per-thread sink: the value lands on the calling thread's own stack, so threads never share it.
inline void keep(double v) {
  volatile double local = v;
  (void)local;
}

// Keeps v in a register of its own: without it the compiler packs the independent chains into
// one vector register, and the figure would be one vector chain's latency, not scalar throughput.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define OPAQUE_REGISTER(v) __asm__ __volatile__("" : "+x"(v))
#elif defined(__GNUC__) && defined(__aarch64__)
#define OPAQUE_REGISTER(v) __asm__ __volatile__("" : "+w"(v))
#else
#define OPAQUE_REGISTER(v) ((void)0)
#endif

// ---------------------------------------------------------------- command line

struct Options {
  std::vector<int> threads;
  std::size_t buffer_mib = 1024;
  int repeats = 15;
  bool quick = false;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "calibrate: %s (see calibrate --help)\n", message.c_str());
  std::exit(usage_status);
}

// A whole number written in plain digits, within [low, high]; nothing else is accepted.
bool parse_count(const std::string& text, unsigned long long low, unsigned long long high,
                 unsigned long long& out) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out >= low && out <= high;
}

void print_help(int procs) {
  std::printf(
      "usage: calibrate [--threads LIST] [--buffer-mib MIB] [--repeats N] [--quick]\n"
      "\n"
      "Measures this machine's limits for the suite's time model and prints them as CSV on\n"
      "standard output; progress goes to standard error. Run it on an otherwise idle machine.\n"
      "\n"
      "  --threads LIST   team sizes, comma-separated (default: 1 and the processor count, %d here)\n"
      "  --buffer-mib MIB buffer of the memory figures in MiB (default 1024; 16 with --quick)\n"
      "  --repeats N      repetitions of every figure (default 15; 11 with --quick); with fewer\n"
      "                   than 6 there is no 95%% interval\n"
      "  --quick          tiny sizes, for tests; the figures are rough\n"
      "  -h, --help       this text\n"
      "\n"
      "Columns: figure,threads,median,low95,high95,unit,note. The interval is the pair of order\n"
      "statistics that covers the median with at least 95%% probability, whatever the\n"
      "distribution. A figure that cannot be measured is left empty, with the reason in the note.\n"
      "\n"
      "  timer_tick       smallest step between two successive distinct timer readings (s)\n"
      "  add_latency      one double addition that waits for the previous one (s)\n"
      "  mul_latency      one double multiplication that waits for the previous one (s)\n"
      "  mul_independent  one multiplication among 8 independent chains, i.e. throughput (s)\n"
      "  first_touch      faulting in fresh memory, one write per 4 KiB page, with the huge-page\n"
      "                   hint the recurrence programs give; threads split the buffer (s/GB)\n"
      "  write_touched    writing every double of memory already touched (s/GB)\n"
      "  fork_join        an empty parallel region, per region (s)\n"
      "  critical         each thread entering one critical section, extra per region (s)\n"
      "  reduction        merging a + reduction on a double, extra per region (s)\n"
      "  static_loop      a combined parallel static loop over T iterations, extra per region (s)\n"
      "  dynamic_chunk    handing out one chunk of a dynamic,10 loop, over static (s per chunk)\n"
      "\n"
      "GB is 10^9 bytes. Construct figures are a parallel measurement minus the same work done\n"
      "without the construct: a region doing a short fixed delay minus that delay done serially\n"
      "(fork_join), the region with the construct minus the plain region (the others).\n",
      procs);
}

Options parse_options(int argc, char** argv, int procs) {
  Options opt;
  bool repeats_given = false;
  bool buffer_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      print_help(procs);
      std::exit(0);
    }
    if (arg == "--quick") {
      opt.quick = true;
      continue;
    }
    // --name VALUE or --name=VALUE
    std::string value;
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (name != "--threads" && name != "--buffer-mib" && name != "--repeats") {
      usage_error("unknown argument '" + arg + "'");
    }
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      usage_error(arg + " needs a value");
    }
    arg = name;
    unsigned long long n = 0;
    if (arg == "--threads") {
      opt.threads.clear();
      std::size_t start = 0;
      while (true) {
        const std::size_t comma = value.find(',', start);
        const std::string item = value.substr(start, comma == std::string::npos ? comma : comma - start);
        if (!parse_count(item, 1, 4096, n)) {
          usage_error("--threads wants team sizes from 1 to 4096 separated by commas, got '" + value + "'");
        }
        opt.threads.push_back(static_cast<int>(n));
        if (comma == std::string::npos) {
          break;
        }
        start = comma + 1;
      }
    } else if (arg == "--buffer-mib") {
      if (!parse_count(value, 1, 1ULL << 24, n)) {
        usage_error("--buffer-mib wants a whole number of MiB from 1 to 16777216, got '" + value + "'");
      }
      opt.buffer_mib = static_cast<std::size_t>(n);
      buffer_given = true;
    } else if (arg == "--repeats") {
      if (!parse_count(value, 1, 1000, n)) {
        usage_error("--repeats wants a whole number from 1 to 1000, got '" + value + "'");
      }
      opt.repeats = static_cast<int>(n);
      repeats_given = true;
    }
  }
  if (opt.quick) {
    if (!repeats_given) opt.repeats = 11;
    if (!buffer_given) opt.buffer_mib = 16;
  }
  if (opt.threads.empty()) {
    opt.threads = {1, procs};
  }
  std::sort(opt.threads.begin(), opt.threads.end());
  opt.threads.erase(std::unique(opt.threads.begin(), opt.threads.end()), opt.threads.end());
  return opt;
}

// ---------------------------------------------------------------- statistics and output

struct Row {
  std::string figure;
  int threads;
  std::vector<double> samples;  // empty: not measured, the note says why
  std::string unit;
  std::string note;
  bool difference = false;  // a difference of two measurements, which noise can take below zero
};

std::vector<Row> rows;

void add_note(std::string& note, const std::string& more) {
  if (!more.empty()) {
    note += (note.empty() ? "" : "; ") + more;
  }
}

void print_rows() {
  std::printf("figure,threads,median,low95,high95,unit,note\n");
  for (Row& r : rows) {
    std::string note = r.note;
    if (r.samples.empty()) {
      std::printf("%s,%d,,,,%s,%s\n", r.figure.c_str(), r.threads, r.unit.c_str(), note.c_str());
      continue;
    }
    std::vector<double>& s = r.samples;
    std::sort(s.begin(), s.end());
    const std::size_t n = s.size();
    const double median = n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2.0;
    // The number of samples below the median is Binomial(n, 1/2) whatever the distribution, so
    // order statistics j and n + 1 - j bracket it with probability 1 - 2 P(B <= j - 1). Take the
    // largest j that keeps that at 95% or more.
    std::size_t j = 0;
    double pmf = std::ldexp(1.0, -static_cast<int>(n));
    double tail = pmf;  // P(B <= j), growing with j
    while (j + 1 <= n / 2 && tail <= 0.025) {
      ++j;
      pmf = pmf * static_cast<double>(n - (j - 1)) / static_cast<double>(j);
      tail += pmf;
    }
    // A construct that costs next to nothing leaves a difference that is noise around zero: it is
    // printed as measured and flagged, so that nobody reads a sign into it.
    if (r.difference) {
      if (j > 0 ? s[j - 1] <= 0.0 && s[n - j] >= 0.0 : median <= 0.0) {
        add_note(note, "not distinguishable from zero");
      } else if (j > 0 && s[n - j] < 0.0) {
        add_note(note, "below zero: faster than without the construct");
      }
    }
    if (j == 0) {
      add_note(note, "too few repeats for a 95% interval");
      std::printf("%s,%d,%.6e,,,%s,%s\n", r.figure.c_str(), r.threads, median, r.unit.c_str(), note.c_str());
    } else {
      std::printf("%s,%d,%.6e,%.6e,%.6e,%s,%s\n", r.figure.c_str(), r.threads, median, s[j - 1], s[n - j],
                  r.unit.c_str(), note.c_str());
    }
  }
}

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
  std::fputs("calibrate: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// Inner repetitions such that one measurement of run(reps) lasts about target seconds. The
// calls made here also serve as the untimed first calls.
template <class Run>
long size_repetitions(Run run, double target) {
  long reps = 1;
  while (true) {
    const double t = run(reps);
    if (t >= target || reps >= (1L << 30)) {
      return reps;
    }
    // Grow by at most 16 at a time: a first call can be slow for reasons of its own.
    const double grow = t > 0.0 ? std::min(16.0, 1.2 * target / t) : 16.0;
    reps = std::max(reps + 1, static_cast<long>(static_cast<double>(reps) * grow));
  }
}

// ---------------------------------------------------------------- timer and arithmetic

double timer_tick_once() {
  // Smallest positive difference between successive readings, over many distinct readings.
  double smallest = INFINITY;
  double prev = walltime();
  int distinct = 0;
  for (long k = 0; k < 10000000 && distinct < 1000; ++k) {
    const double now = walltime();
    if (now > prev) {
      smallest = std::min(smallest, now - prev);
      ++distinct;
    }
    prev = now;
  }
  return smallest;
}

// Eight additions per trip, each waiting for the one before: without reassociation (no
// fast-math) the compiler can neither shorten nor vectorise the chain.
double add_chain(long trips) {
  double x = seed_one;
  const double c = seed_step;
  const double t0 = walltime();
  for (long i = 0; i < trips; ++i) {
    x = x + c; x = x + c; x = x + c; x = x + c;
    x = x + c; x = x + c; x = x + c; x = x + c;
  }
  const double t1 = walltime();
  serial_sink = x;
  return t1 - t0;
}

double mul_chain(long trips) {
  double x = seed_one;
  const double m = seed_factor;
  const double t0 = walltime();
  for (long i = 0; i < trips; ++i) {
    x = x * m; x = x * m; x = x * m; x = x * m;
    x = x * m; x = x * m; x = x * m; x = x * m;
  }
  const double t1 = walltime();
  serial_sink = x;
  return t1 - t0;
}

// Eight multiplications per trip as well, one in each of eight independent chains: enough
// chains in flight to cover the latency on current processors, so the issue rate limits.
double mul_chains(long trips) {
  const double m = seed_factor;
  double a = seed_one, b = a * 1.125, c = a * 1.25, d = a * 1.375;
  double e = a * 1.5, f = a * 1.625, g = a * 1.75, h = a * 1.875;
  const double t0 = walltime();
  for (long i = 0; i < trips; ++i) {
    a = a * m; b = b * m; c = c * m; d = d * m;
    e = e * m; f = f * m; g = g * m; h = h * m;
    OPAQUE_REGISTER(a); OPAQUE_REGISTER(b); OPAQUE_REGISTER(c); OPAQUE_REGISTER(d);
    OPAQUE_REGISTER(e); OPAQUE_REGISTER(f); OPAQUE_REGISTER(g); OPAQUE_REGISTER(h);
  }
  const double t1 = walltime();
  serial_sink = a + b + c + d + e + f + g + h;
  return t1 - t0;
}

template <class Chain>
void measure_operation(const char* figure, Chain chain, int repeats, double target) {
  const long trips = size_repetitions(chain, target);
  Row row{figure, 1, {}, "s", ""};
  for (int r = 0; r < repeats; ++r) {
    row.samples.push_back(chain(trips) / (8.0 * static_cast<double>(trips)));
  }
  rows.push_back(row);
}

// ---------------------------------------------------------------- memory

constexpr std::size_t page_bytes = 4096;

// AnonHugePages of the whole process in KiB, or -1 where the kernel does not report it.
long anon_huge_kib() {
  std::FILE* f = std::fopen("/proc/self/smaps_rollup", "r");
  if (f == nullptr) {
    return -1;
  }
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "AnonHugePages: %ld kB", &kib) == 1) {
      break;
    }
  }
  std::fclose(f);
  return kib;
}

struct Buffer {
  double* p;
  std::size_t bytes;
  bool hinted;  // the kernel accepted the huge-page hint
};

// Fresh pages every time: memory from mmap has never been touched, where memory handed back by
// free may come from the heap and be resident already.
Buffer fresh_buffer(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::fprintf(stderr, "calibrate: cannot allocate the %zu MiB buffer: %s\n", bytes >> 20,
                 std::strerror(errno));
    std::exit(allocation_status);
  }
  bool hinted = false;
#ifdef MADV_HUGEPAGE
  // The hint the recurrence programs give their array, so that first touch costs the same here.
  hinted = madvise(p, bytes, MADV_HUGEPAGE) == 0;
#endif
  return {static_cast<double*>(p), bytes, hinted};
}

// Pages [t * pages / n, (t + 1) * pages / n) belong to thread t of n, in both passes, so that
// each thread writes the memory it faulted in itself.
void thread_pages(std::size_t pages, std::size_t& first, std::size_t& end) {
  const auto n = static_cast<std::size_t>(omp_get_num_threads());
  const auto t = static_cast<std::size_t>(omp_get_thread_num());
  first = t * pages / n;
  end = (t + 1) * pages / n;
}

// Each pass reports the slowest thread's own time over its pages. The team's fork and join are
// construct overhead, measured on their own below; on a busy machine they also hold waits for
// a free processor, which would drown the memory's cost.
struct Pass {
  double seconds;
  int team;  // the team size the runtime gave
};

// One write per 4 KiB page.
Pass touch_pages(const Buffer& b, int threads) {
  const std::size_t pages = b.bytes / page_bytes;
  const std::size_t stride = page_bytes / sizeof(double);
  double* const p = b.p;
  std::vector<double> own(static_cast<std::size_t>(threads), 0.0);  // one slot per thread
  int team = 0;
#pragma omp parallel num_threads(threads) default(none) shared(p, pages, stride, own, team)
  {
    if (omp_get_thread_num() == 0) {
      team = omp_get_num_threads();
    }
    std::size_t first = 0, end = 0;
    thread_pages(pages, first, end);
    const double t0 = walltime();
    for (std::size_t k = first * stride; k < end * stride; k += stride) {
      p[k] = 1.0;
    }
    own[static_cast<std::size_t>(omp_get_thread_num())] = walltime() - t0;
  }
  return {*std::max_element(own.begin(), own.end()), team};
}

double write_pages(const Buffer& b, int threads) {
  const std::size_t pages = b.bytes / page_bytes;
  const std::size_t per_page = page_bytes / sizeof(double);
  double* const p = b.p;
  std::vector<double> own(static_cast<std::size_t>(threads), 0.0);
  // A value unknown to the compiler: a known constant could turn the loop into a memset call,
  // which may write around the cache, unlike the recurrence programs' stores.
  const double v = seed_step;
#pragma omp parallel num_threads(threads) default(none) shared(p, pages, per_page, v, own)
  {
    std::size_t first = 0, end = 0;
    thread_pages(pages, first, end);
    const double t0 = walltime();
    for (std::size_t k = first * per_page; k < end * per_page; ++k) {
      p[k] = v;
    }
    own[static_cast<std::size_t>(omp_get_thread_num())] = walltime() - t0;
  }
  return *std::max_element(own.begin(), own.end());
}

void measure_memory(int threads, const Options& opt, const std::string& skip) {
  Row touch{"first_touch", threads, {}, "s/GB", skip};
  Row write{"write_touched", threads, {}, "s/GB", skip};
  if (skip.empty()) {
    const std::size_t bytes = opt.buffer_mib << 20;
    const double gb = static_cast<double>(bytes) / 1e9;
    bool refused = false;
    double huge_share = 1.0;  // smallest share of the buffer on huge pages, < 0 when unknown
    int team = threads;
    for (int r = -1; r < opt.repeats && team == threads; ++r) {  // r = -1: the untimed first call
      const long huge_before = anon_huge_kib();
      const Buffer b = fresh_buffer(bytes);
      refused = refused || !b.hinted;
      const Pass touched = touch_pages(b, threads);
      team = touched.team;
      const double written = team == threads ? write_pages(b, threads) : 0.0;
      const long huge_after = anon_huge_kib();
      munmap(b.p, bytes);
      if (huge_before < 0 || huge_after < 0) {
        huge_share = -1.0;
      } else if (huge_share >= 0.0) {
        huge_share = std::min(huge_share, static_cast<double>(huge_after - huge_before) * 1024.0 /
                                              static_cast<double>(bytes));
      }
      if (r >= 0) {
        touch.samples.push_back(touched.seconds / gb);
        write.samples.push_back(written / gb);
      }
    }
    if (team != threads) {
      touch.samples.clear();
      write.samples.clear();
      const std::string note = "the runtime gave " + std::to_string(team) + " threads";
      add_note(touch.note, note);
      add_note(write.note, note);
    } else if (refused) {
      add_note(touch.note, "no huge pages (hint refused)");
    } else if (huge_share < 0.0) {
      add_note(touch.note, "huge-page hint accepted");
    } else if (huge_share >= 0.9) {
      add_note(touch.note, "huge pages");
    } else if (huge_share > 0.0) {
      add_note(touch.note, "huge pages on " + std::to_string(static_cast<int>(huge_share * 100.0)) +
                               "% of the buffer");
    } else {
      add_note(touch.note, "no huge pages (none granted)");
    }
  }
  rows.push_back(touch);
  rows.push_back(write);
}

// ---------------------------------------------------------------- constructs

// The fixed work each thread does in every measured region, and the serial reference does
// once per region: a dependent chain of about a tenth of a microsecond.
constexpr int delay_additions = 128;

[[gnu::noinline]] double delay_work() {
  double x = seed_one;
  const double c = seed_step;
  for (int i = 0; i < delay_additions; ++i) {
    x = x + c;
  }
  return x;
}

double time_reference(int, long reps) {
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
    keep(delay_work());
  }
  return walltime() - t0;
}

double time_region(int threads, long reps) {
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel num_threads(threads) default(none)
    keep(delay_work());
  }
  return walltime() - t0;
}

// As quadguard adds its partial sums: every thread enters the critical section once.
double time_critical(int threads, long reps) {
  double total = 0.0;
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel num_threads(threads) default(none) shared(total)
    {
      const double x = delay_work();
#pragma omp critical
      total += x;
    }
  }
  const double t1 = walltime();
  serial_sink = total;
  return t1 - t0;
}

double time_reduction(int threads, long reps) {
  double total = 0.0;
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel num_threads(threads) default(none) reduction(+ : total)
    total += delay_work();
  }
  const double t1 = walltime();
  serial_sink = total;
  return t1 - t0;
}

// The combined construct quadmerge uses: its loop ends with the region's own barrier.
double time_static_loop(int threads, long reps) {
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel for schedule(static) num_threads(threads) default(none) shared(threads)
    for (int i = 0; i < threads; ++i) {
      keep(delay_work());
    }
  }
  return walltime() - t0;
}

// Loops of the shape teamtally runs, one region each; only the schedule differs.
constexpr int chunk_iterations = 10;
constexpr int loop_chunks = 1000;
// Written out in the schedule clause below: clang wants no named constant there under default(none).
static_assert(chunk_iterations == 10, "the dynamic schedule's chunk");

double time_dynamic_loop(int threads, long reps) {
  double total = 0.0;
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel for schedule(nonmonotonic : dynamic, 10) num_threads(threads) \
    default(none) reduction(+ : total)
    for (int i = 0; i < chunk_iterations * loop_chunks; ++i) {
      total = total + static_cast<double>(i);
    }
  }
  const double t1 = walltime();
  serial_sink = total;
  return t1 - t0;
}

double time_static_chunks(int threads, long reps) {
  double total = 0.0;
  const double t0 = walltime();
  for (long r = 0; r < reps; ++r) {
#pragma omp parallel for schedule(static) num_threads(threads) default(none) reduction(+ : total)
    for (int i = 0; i < chunk_iterations * loop_chunks; ++i) {
      total = total + static_cast<double>(i);
    }
  }
  const double t1 = walltime();
  serial_sink = total;
  return t1 - t0;
}

int team_size(int threads) {
  int team = 0;
#pragma omp parallel num_threads(threads) default(none) shared(team)
  if (omp_get_thread_num() == 0) {
    team = omp_get_num_threads();
  }
  return team;
}

void measure_constructs(int threads, const Options& opt, double target, std::string skip) {
  const char* const names[] = {"fork_join", "critical", "reduction", "static_loop", "dynamic_chunk"};
  constexpr int figures = 5;
  if (skip.empty()) {
    const int team = team_size(threads);
    if (team != threads) {
      skip = "the runtime gave " + std::to_string(team) + " threads";
    }
  }
  std::vector<Row> out;
  for (const char* name : names) {
    out.push_back(Row{name, threads, {}, "s", skip, true});
  }
  if (skip.empty()) {
    // Sized on the slowest region kind; the sizing calls and one call of each other kind are the
    // untimed first calls.
    const auto at = [threads](double (*f)(int, long)) { return [threads, f](long n) { return f(threads, n); }; };
    const long reps = size_repetitions(at(time_critical), target);
    const long loop_reps = size_repetitions(at(time_dynamic_loop), target);
    time_reference(threads, reps);
    time_region(threads, reps);
    time_reduction(threads, reps);
    time_static_loop(threads, reps);
    time_static_chunks(threads, loop_reps);
    const double per_region = 1.0 / static_cast<double>(reps);
    const double per_chunk = 1.0 / (static_cast<double>(loop_reps) * loop_chunks);
    for (int r = 0; r < opt.repeats; ++r) {
      const double reference = time_reference(threads, reps);
      const double region = time_region(threads, reps);
      const double critical = time_critical(threads, reps);
      const double reduction = time_reduction(threads, reps);
      const double static_loop = time_static_loop(threads, reps);
      const double dynamic_loop = time_dynamic_loop(threads, loop_reps);
      const double static_chunks = time_static_chunks(threads, loop_reps);
      out[0].samples.push_back((region - reference) * per_region);
      out[1].samples.push_back((critical - region) * per_region);
      out[2].samples.push_back((reduction - region) * per_region);
      out[3].samples.push_back((static_loop - region) * per_region);
      out[4].samples.push_back((dynamic_loop - static_chunks) * per_chunk);
    }
  }
  for (int k = 0; k < figures; ++k) {
    rows.push_back(out[k]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int procs = omp_get_num_procs();
  const Options opt = parse_options(argc, argv, procs);
  const double start = walltime();

  progress("timer tick and operation latencies");
  timer_tick_once();
  Row tick{"timer_tick", 1, {}, "s", ""};
  for (int r = 0; r < opt.repeats; ++r) {
    tick.samples.push_back(timer_tick_once());
  }
  std::vector<double> ticks = tick.samples;
  std::sort(ticks.begin(), ticks.end());
  rows.push_back(tick);
  // One measurement lasts well over the tick: 1000 ticks at least.
  const double target = std::max(opt.quick ? 2e-4 : 1e-2, 1000.0 * ticks[ticks.size() / 2]);

  measure_operation("add_latency", add_chain, opt.repeats, target);
  measure_operation("mul_latency", mul_chain, opt.repeats, target);
  measure_operation("mul_independent", mul_chains, opt.repeats, target);

  std::vector<std::string> skips;
  for (const int threads : opt.threads) {
    std::string skip;
    if (threads > procs) {
      skip = procs == 1 ? "one processor: no parallel team"
                        : "more threads than the " + std::to_string(procs) + " processors";
    }
    skips.push_back(skip);
  }
  for (std::size_t k = 0; k < opt.threads.size(); ++k) {
    progress("memory, %d thread(s): %d x %zu MiB", opt.threads[k], opt.repeats, opt.buffer_mib);
    measure_memory(opt.threads[k], opt, skips[k]);
  }
  for (std::size_t k = 0; k < opt.threads.size(); ++k) {
    progress("constructs, %d thread(s)", opt.threads[k]);
    measure_constructs(opt.threads[k], opt, target, skips[k]);
  }

  print_rows();
  progress("done in %.1f s", walltime() - start);
  return 0;
}
