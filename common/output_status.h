// The last step of every program of the suite: its output counts only once it has been written.
#ifndef OMPSUITE_OUTPUT_STATUS_H
#define OMPSUITE_OUTPUT_STATUS_H

#include <cerrno>
#include <cstdio>
#include <cstring>

// The exit status once all output is written: 1, with a message, when standard output could not
// take it (a full disk, a closed descriptor), since results the caller never got are no success.
inline int output_status(const char* prog) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", prog,
                 errno != 0 ? std::strerror(errno) : "write error");
    return 1;
  }
  return 0;
}

#endif
