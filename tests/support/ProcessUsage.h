#pragma once

// What this process uses of the machine, for tests and benchmarks that
// bound memory or check that nothing spins.

#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>

namespace testsupport {

// The resident memory of this process, in bytes.
inline std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

inline long ResidentKb()
{
    return static_cast<long>(ResidentBytes() / 1024);
}

// The processor time this process has used, over all its threads.
inline double ProcessCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace testsupport
