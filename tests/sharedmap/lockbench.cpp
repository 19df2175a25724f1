// How long one counting cycle on the counters block takes: Lock, add an
// amount to one record, count the change, Unlock -- what the tray does for
// every matched packet. Prints figures; it is no test and asserts nothing.
//
//   sharedmap_lockbench [CYCLES [ROUNDS]]
//
// Works on a block of its own in a private temporary folder. For scale it
// also times the bare system calls: a pair of flock calls on an open file,
// and an open-flock-flock-close sequence.

#include "sharedmap/SharedMemoryMap.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Median nanoseconds per call of body over rounds of cycles calls.
double MedianNs(int cycles, int rounds, const std::function<void()>& body)
{
    std::vector<double> perCall;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < cycles; ++i)
            body();
        const std::chrono::duration<double, std::nano> took = Clock::now() - start;
        perCall.push_back(took.count() / cycles);
    }
    std::sort(perCall.begin(), perCall.end());
    return perCall[perCall.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    char folder[] = "/tmp/varno-lockbench-XXXXXX";
    if (!mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", folder, 1);
    int status = 0;
    {
        TVarnoTraySharedMemoryMap map("LockBench");
        map.Open();
        const std::string lockPath = map.LockPath();
        bool failed = false;

        const double cycle = MedianNs(cycles, rounds, [&] {
            if (!map.Lock()) {
                failed = true;
                return;
            }
            map.AddAmount(0, 60);
            map.IncrementChangeCount();
            map.Unlock();
        });

        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const double flockPair = MedianNs(cycles, rounds, [&] {
            flock(fd, LOCK_EX | LOCK_NB);
            flock(fd, LOCK_UN);
        });
        ::close(fd);
        struct stat st {};
        const double lstatOne = MedianNs(cycles, rounds, [&] { lstat(lockPath.c_str(), &st); });
        const double openPair = MedianNs(cycles, rounds, [&] {
            const int f = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            flock(f, LOCK_EX | LOCK_NB);
            flock(f, LOCK_UN);
            ::close(f);
        });

        if (failed) {
            std::fprintf(stderr, "lockbench: a Lock failed\n");
            status = 1;
        }
        std::printf("cycles per round %d, rounds %d, median per cycle:\n", cycles, rounds);
        std::printf("  Lock+AddAmount+IncrementChangeCount+Unlock  %8.0f ns  (%.2f M cycles/s)\n", cycle,
                    1e3 / cycle);
        std::printf("  flock EX + flock UN on an open file         %8.0f ns\n", flockPair);
        std::printf("  open + flock EX + flock UN + close          %8.0f ns\n", openPair);
        std::printf("  lstat of the lock file                      %8.0f ns\n", lstatOne);
        std::printf("  total amount of record 0: %lld\n", static_cast<long long>(map.TotalAmount(0)));
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return status;
}
