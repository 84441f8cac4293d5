// Process figures from the Win32 process functions; see process_stats.h.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "load/process_stats.h"

namespace qc::load {

int ThreadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

long ResidentKiB() {
  PROCESS_MEMORY_COUNTERS counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.WorkingSetSize / 1024);
}

long AddressSpaceKiB() {
  // Every region that is not free, up to the top of the user address space.
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const char* at = static_cast<const char*>(system.lpMinimumApplicationAddress);
  const char* end = static_cast<const char*>(system.lpMaximumApplicationAddress);
  unsigned long long used = 0;
  MEMORY_BASIC_INFORMATION region;
  while (at < end && VirtualQuery(at, &region, sizeof region) == sizeof region) {
    if (region.State != MEM_FREE) used += region.RegionSize;
    at = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
  }
  return static_cast<long>(used / 1024);
}

int OpenDescriptors() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

long RaiseDescriptorLimit(long wanted) { return wanted; }  // Windows sets no such limit

}  // namespace qc::load
