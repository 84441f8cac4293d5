// What a process holds, as a benchmark reports it: threads, resident memory, address space and
// open descriptors (handles on Windows). One implementation per platform: /proc on Linux, the
// Win32 process functions on Windows (which wine answers for a 32-bit host). Each figure is -1
// when it cannot be read.
#pragma once

namespace qc::load {

// Threads of this process.
int ThreadCount();
// Resident memory (Linux: exact, from smaps_rollup; Windows: the working set) in KiB.
long ResidentKiB();
// Address space in use, reserved or committed (Linux: VmSize), in KiB. For a 32-bit host this
// is what runs out first.
long AddressSpaceKiB();
// Open descriptors (Linux) or handles (Windows).
int OpenDescriptors();
// Lifts the limit of open descriptors to at least wanted where the platform has one (raising the
// hard limit too when the process may); returns the soft limit now in force, or -1.
long RaiseDescriptorLimit(long wanted);

// Linux only, for the load program's hostile scenarios: the resident memory of another process
// now and at its peak (VmRSS, VmHWM), in KiB; -1 when unknown.
long ProcessResidentKiB(int pid);
long ProcessPeakKiB(int pid);

}  // namespace qc::load
