// Process figures from /proc (Linux); see process_stats.h.
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "load/process_stats.h"

namespace qc::load {
namespace {

// The number after key in a "Key: value" file such as /proc/self/status, or -1.
long ReadField(const char* file, const char* key) {
  std::ifstream in(file);
  std::string word;
  while (in >> word) {
    if (word == key) {
      long value = -1;
      in >> value;
      return value;
    }
  }
  return -1;
}

}  // namespace

int ThreadCount() { return static_cast<int>(ReadField("/proc/self/status", "Threads:")); }

long ResidentKiB() { return ReadField("/proc/self/smaps_rollup", "Rss:"); }

long AddressSpaceKiB() { return ReadField("/proc/self/status", "VmSize:"); }

long ProcessResidentKiB(int pid) {
  return ReadField(("/proc/" + std::to_string(pid) + "/status").c_str(), "VmRSS:");
}

long ProcessPeakKiB(int pid) {
  return ReadField(("/proc/" + std::to_string(pid) + "/status").c_str(), "VmHWM:");
}

int OpenDescriptors() {
  DIR* descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(descriptors)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(descriptors);
  return count - 1;  // the directory's own descriptor
}

long RaiseDescriptorLimit(long wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur >= static_cast<rlim_t>(wanted)) return static_cast<long>(limit.rlim_cur);
  // Raising the hard limit needs the privilege to; without it, the soft limit goes as far as
  // the hard one allows.
  rlimit raised{static_cast<rlim_t>(wanted), static_cast<rlim_t>(wanted)};
  if (limit.rlim_max >= raised.rlim_max || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    raised = {std::min(limit.rlim_max, static_cast<rlim_t>(wanted)), limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return static_cast<long>(limit.rlim_cur);
  }
  return static_cast<long>(raised.rlim_cur);
}

}  // namespace qc::load
