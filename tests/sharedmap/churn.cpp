// Opens and closes a counters block over and over, as tray programs that
// start and stop at the same moment do, and checks after every Open that it
// holds the very block file that the map name leads to, not one that a
// closing program removed meanwhile.
//
//   sharedmap_churn NAME CYCLES [stay]
//
// Each cycle: Open, lock, add 1 to record 0, count the change, unlock, Close.
// With "stay" the block is opened once and only the lock cycles repeat, as
// the tray counts packets: a lost update then shows an exclusion that failed.
// Exit status: 0 all well, 1 a cycle ended up with a removed block,
// 3 the lock could not be had, 4 Open raised, 2 usage.

#include "sharedmap/SharedMemoryMap.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace {

// The inode behind the mapping at address, from /proc/self/maps.
bool MappedInode(const void* address, unsigned long& inode)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto where = uintptr_t(address);
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, dev;
        unsigned long ino = 0;
        if (!(fields >> range >> perms >> offset >> dev >> ino))
            continue;
        const auto dash = range.find('-');
        const uintptr_t start = std::strtoull(range.substr(0, dash).c_str(), nullptr, 16);
        const uintptr_t end = std::strtoull(range.substr(dash + 1).c_str(), nullptr, 16);
        if (where >= start && where < end) {
            inode = ino;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "stay"))
        return 2;
    const int cycles = std::atoi(argv[2]);
    TVarnoTraySharedMemoryMap map(argv[1]);
    if (argc == 4) {
        try {
            map.Open();
        } catch (const Exception& e) {
            std::fprintf(stderr, "churn: %s\n", e.what());
            return 4;
        }
        for (int i = 0; i < cycles; ++i) {
            if (!LockWithRetry(map))
                return 3;
            map.AddAmount(0, 1);
            map.IncrementChangeCount();
            map.Unlock();
        }
        map.Close();
        return 0;
    }
    for (int i = 0; i < cycles; ++i) {
        try {
            map.Open();
        } catch (const Exception& e) {
            std::fprintf(stderr, "churn: cycle %d: %s\n", i, e.what());
            return 4;
        }
        unsigned long mapped = 0;
        struct stat st {};
        if (!MappedInode(map.Memory(), mapped) || stat(map.MapPath().c_str(), &st) != 0 ||
            st.st_ino != mapped) {
            std::fprintf(stderr, "churn: cycle %d: the open block is not the one at %s\n", i,
                         map.MapPath().c_str());
            return 1;
        }
        if (!LockWithRetry(map))
            return 3;
        map.AddAmount(0, 1);
        map.IncrementChangeCount();
        map.Unlock();
        map.Close();
    }
    return 0;
}
