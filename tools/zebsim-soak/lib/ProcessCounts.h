#pragma once
// What a camera cycle must give back: the process's threads and file
// descriptors, read from /proc by name so that a leak says what it is, and
// the vendor buffers still live. A count may take a moment to come back (a
// joined thread leaves /proc a little later), so the check waits a bounded
// time for it.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace zeb_soak {

struct Counts {
    std::map<std::string, std::string> threads, descriptors;  // by id: name, or what it leads to
    size_t buffers = 0;
};

Counts TakeCounts();

// Waits for the counts to come back to the baseline; lists what did not.
std::vector<std::string> CheckLeaks(const Counts& baseline, double settleSeconds);

// The threads the library starts when it loads end on their own once the
// device is ready and the configuration is read: waits until the count holds.
size_t SettledThreadCount();

}  // namespace zeb_soak
