// Number formatting shared by the benchmarks' Markdown reports.
#pragma once

#include <cstdio>
#include <string>

namespace quillavor {

// `v` through printf's `fmt` (one double conversion), as a string.
inline std::string Fmt(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

}  // namespace quillavor
