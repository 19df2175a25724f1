#include "sharedmap/SharedMemoryMap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const CantCreate = "Can't Create Memory Map";
const char* const CantView = "Can't View Memory Map";
const char* const MapIsOpen = "Map is open";

// How often Open starts over when the file it locked was removed meanwhile
// by a holder that closed at the same moment. Each round needs a close to
// race it, so a few rounds are plenty.
constexpr int AttachRounds = 50;

// Closes a descriptor unless released.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// A name that stays one file inside the folder.
bool UsableName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// A regular file of ours: a file planted by another user, or something that
// is not a plain file, is refused.
bool OwnRegularFile(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

// The file behind fd is still the one that path names.
bool StillAtPath(int fd, const std::string& path)
{
    struct stat a {}, b {};
    return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

using Clock = std::chrono::steady_clock;

enum class TFlock { Got, TimedOut, Failed };

// flock with a time limit (milliseconds; negative: none). flock has no
// time-out of its own and a signal to break a blocking call would reach
// other threads of the process too, so it polls. An uncontended lock costs
// the one call.
TFlock FlockFor(int fd, int operation, int timeoutMs)
{
    Clock::time_point deadline{};
    bool started = false;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0)
            return TFlock::Got;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return TFlock::Failed;
        if (!started) {
            deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
            started = true;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return TFlock::TimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool FlockWithin(int fd, int operation, int timeoutMs)
{
    return FlockFor(fd, operation, timeoutMs) == TFlock::Got;
}

uint64_t LoadLE64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void StoreLE64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = uint8_t(v & 0xFF);
        v >>= 8;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TSharedMemoryMap

TSharedMemoryMap::TSharedMemoryMap(const std::string& name)
{
    SetMapName(name);
    SetLockTimeout(DefaultLockTimeout);
}

TSharedMemoryMap::~TSharedMemoryMap()
{
    try {
        if (FLocked)
            Unlock();
    } catch (...) {
    }
    try {
        if (FOpened)
            Close();
    } catch (...) {
    }
}

void TSharedMemoryMap::SetMapName(const std::string& name)
{
    if (FOpened)
        throw Exception(MapIsOpen);
    FMapName = name;
}

void TSharedMemoryMap::SetLockTimeout(int milliseconds)
{
    if (FOpened)
        throw Exception(MapIsOpen);
    FLockTimeout = milliseconds;
}

std::string TSharedMemoryMap::MapDirectory()
{
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir)
        return dir;
    return "/dev/shm";
}

std::string TSharedMemoryMap::Directory() const
{
    return FOpened ? FDirectory : MapDirectory();
}

std::string TSharedMemoryMap::MapPath() const { return Directory() + "/" + FMapName; }

std::string TSharedMemoryMap::LockPath() const { return Directory() + "/LOCK" + FMapName; }

bool TSharedMemoryMap::Open()
{
    if (FOpened)
        return true;
    Attach(true);
    return true;
}

bool TSharedMemoryMap::OpenExisting()
{
    if (FOpened)
        return true;
    Attach(false);
    return FOpened;
}

// Finds or creates the block file and ends holding a shared flock on it.
// Two programs may open and close at the same moment, so every step that
// could have raced a remover checks that the locked file is still the one
// at the path, and starts over if not.
void TSharedMemoryMap::Attach(bool create)
{
    if (!UsableName(FMapName))
        throw Exception(CantCreate);
    const std::string dir = MapDirectory();
    const std::string path = dir + "/" + FMapName;
    const size_t size = size_t(FMapSize);

    for (int round = 0; round < AttachRounds; ++round) {
        const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
        FdGuard fd(::open(path.c_str(), flags, 0600));
        if (fd.get() < 0) {
            if (!create && errno == ENOENT)
                return;
            throw Exception(CantCreate);
        }
        if (!OwnRegularFile(fd.get()))
            throw Exception(CantCreate);

        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            // Nobody else holds it: a new file or one left by a program that
            // was killed. Either way it did not exist as a live block.
            if (!StillAtPath(fd.get(), path))
                continue;
            if (!create) {
                unlink(path.c_str());
                return;
            }
            // Truncating to nothing and back zero-fills it.
            if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), off_t(size)) != 0)
                throw Exception(CantCreate);
            // Converting to shared lets go for a moment; a closer may remove
            // the file then, which the check below notices.
            if (!FlockWithin(fd.get(), LOCK_SH, FLockTimeout))
                throw Exception(CantCreate);
        } else {
            if (errno != EWOULDBLOCK)
                throw Exception(CantCreate);
            // Held by others; an exclusive holder is one that is opening or
            // closing right now, and is done in a moment.
            if (!FlockWithin(fd.get(), LOCK_SH, FLockTimeout))
                throw Exception(CantCreate);
        }
        if (!StillAtPath(fd.get(), path))
            continue;

        struct stat st {};
        if (fstat(fd.get(), &st) != 0)
            throw Exception(CantCreate);
        if (size_t(st.st_size) < size) {
            // Touching a page past the end of the file would kill the process.
            if (!create || ftruncate(fd.get(), off_t(size)) != 0)
                throw Exception(CantView);
        }

        const int prot = create ? PROT_READ | PROT_WRITE : PROT_READ;
        void* view = mmap(nullptr, size, prot, MAP_SHARED, fd.get(), 0);
        if (view == MAP_FAILED)
            throw Exception(CantView);

        MapHandle = fd.release();
        View = view;
        FMemory = static_cast<uint8_t*>(view);
        FDirectory = dir;
        FReadOnly = !create;
        FOpened = true;
        return;
    }
    throw Exception(CantCreate);
}

void TSharedMemoryMap::Close()
{
    if (View) {
        munmap(View, size_t(FMapSize));
        View = nullptr;
    }
    FMemory = nullptr;
    if (MapHandle >= 0) {
        // The last holder removes the block, so the next Open starts afresh.
        // If the exclusive lock is refused, someone else still holds it.
        if (!FReadOnly && flock(MapHandle, LOCK_EX | LOCK_NB) == 0) {
            const std::string path = FDirectory + "/" + FMapName;
            if (StillAtPath(MapHandle, path))
                unlink(path.c_str());
        }
        ::close(MapHandle);
        MapHandle = -1;
    }
    // A held lock stays held until Unlock, which then closes the file.
    if (FLocked)
        FLockPath.clear();
    else
        CloseLockFile();
    FOpened = false;
    FReadOnly = false;
}

bool TSharedMemoryMap::OpenLockFile()
{
    const std::string path = FDirectory + "/LOCK" + FMapName;
    FdGuard fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return false;
    MutexHandle = fd.release();
    FLockPath = path;
    FLockDevice = st.st_dev;
    FLockInode = st.st_ino;
    FLockCheckedAt = Clock::now();
    return true;
}

void TSharedMemoryMap::CloseLockFile()
{
    if (MutexHandle >= 0)
        ::close(MutexHandle);
    MutexHandle = -1;
    FLockPath.clear();
}

// Whether the kept lock file is still the one that others open by its path.
// A lock on a removed or replaced file would exclude nobody. Looked at now
// and then only: nothing of this system removes the lock file.
bool TSharedMemoryMap::LockFileStillAtPath()
{
    const auto now = Clock::now();
    if (now - FLockCheckedAt < LockFileCheckInterval)
        return true;
    struct stat st {};
    if (lstat(FLockPath.c_str(), &st) != 0 || st.st_dev != FLockDevice || st.st_ino != FLockInode)
        return false;
    FLockCheckedAt = now;
    return true;
}

bool TSharedMemoryMap::Lock()
{
    if (!FOpened)
        return false;
    if (FLocked)
        return true;
    // A kept file that cannot be locked any more, or that is no longer the
    // one at the lock path, is opened afresh once; that second try may wait
    // another LockTimeout.
    for (int round = 0; round < 2; ++round) {
        if (MutexHandle < 0 && !OpenLockFile())
            return false;
        const TFlock result = FlockFor(MutexHandle, LOCK_EX, FLockTimeout);
        if (result == TFlock::TimedOut)
            return false;
        if (result == TFlock::Got) {
            if (LockFileStillAtPath()) {
                FLocked = true;
                return true;
            }
            flock(MutexHandle, LOCK_UN);
        } else if (errno == EBADF) {
            // Someone closed the descriptor behind our back; its number may
            // belong to another file by now, so it is not closed again.
            MutexHandle = -1;
        }
        CloseLockFile();
    }
    return false;
}

void TSharedMemoryMap::Unlock()
{
    if (MutexHandle >= 0) {
        flock(MutexHandle, LOCK_UN);
        // Kept for the next Lock, unless the map was closed while locked.
        if (FLockPath.empty() || !FOpened)
            CloseLockFile();
    }
    FLocked = false;
}

void TSharedMemoryMap::IncrementChangeCount()
{
    if (!Writable())
        return;
    // uint8_t arithmetic: 255 + 1 wraps to 0.
    FMemory[ChangeCountOffset] = uint8_t(FMemory[ChangeCountOffset] + 1);
}

uint8_t TSharedMemoryMap::ChangeCount() const
{
    return FOpened ? FMemory[ChangeCountOffset] : 0;
}

// ---------------------------------------------------------------------------
// TVarnoTraySharedMemoryMap

std::string_view TVarnoTraySharedMemoryMap::StoredName(std::string_view name)
{
    if (name.size() <= size_t(NameSize))
        return name;
    // Cut back over UTF-8 continuation bytes (10xxxxxx) so no character is
    // split; a character has at most three of them, which also bounds the
    // loss for text that is not UTF-8.
    size_t n = NameSize;
    while (n > size_t(NameSize) - 3 && (uint8_t(name[n]) & 0xC0) == 0x80)
        --n;
    return name.substr(0, n);
}

bool TVarnoTraySharedMemoryMap::SetRangeName(int index, std::string_view name)
{
    if (!Writable() || !ValidIndex(index))
        return false;
    const std::string_view stored = StoredName(name);
    uint8_t* record = Memory() + RecordOffset(index);
    record[NameLengthField] = uint8_t(stored.size());
    std::memcpy(record + NameField, stored.data(), stored.size());
    return true;
}

bool TVarnoTraySharedMemoryMap::AddAmount(int index, int64_t amount)
{
    if (!Writable() || !ValidIndex(index))
        return false;
    uint8_t* record = Memory() + RecordOffset(index);
    // Unsigned arithmetic: wraps in two's complement without undefined behaviour.
    StoreLE64(record + PeriodAmountField, LoadLE64(record + PeriodAmountField) + uint64_t(amount));
    StoreLE64(record + TotalAmountField, LoadLE64(record + TotalAmountField) + uint64_t(amount));
    return true;
}

bool TVarnoTraySharedMemoryMap::ClearRange(int index)
{
    if (!Writable() || !ValidIndex(index))
        return false;
    uint8_t* record = Memory() + RecordOffset(index);
    StoreLE64(record + PeriodAmountField, 0);
    StoreLE64(record + TotalAmountField, 0);
    return true;
}

bool TVarnoTraySharedMemoryMap::RollPeriod(int index)
{
    if (!Writable() || !ValidIndex(index))
        return false;
    uint8_t* record = Memory() + RecordOffset(index);
    StoreLE64(record + LastPeriodAmountField, LoadLE64(record + PeriodAmountField));
    StoreLE64(record + PeriodAmountField, 0);
    return true;
}

TRangeRecord TVarnoTraySharedMemoryMap::DecodeRecord(std::span<const uint8_t> block, int index)
{
    TRangeRecord result;
    if (!ValidIndex(index) || block.size() < size_t(RecordOffset(index) + RecordSize))
        return result;
    const uint8_t* record = block.data() + RecordOffset(index);
    const size_t length = std::min<size_t>(record[NameLengthField], NameSize);
    result.Name.assign(reinterpret_cast<const char*>(record + NameField), length);
    result.PeriodAmount = int64_t(LoadLE64(record + PeriodAmountField));
    result.LastPeriodAmount = int64_t(LoadLE64(record + LastPeriodAmountField));
    result.TotalAmount = int64_t(LoadLE64(record + TotalAmountField));
    return result;
}

TRangeRecord TVarnoTraySharedMemoryMap::Record(int index) const
{
    if (!Opened())
        return {};
    return DecodeRecord(std::span<const uint8_t>(Memory(), size_t(MapSize())), index);
}

std::string TVarnoTraySharedMemoryMap::RangeName(int index) const { return Record(index).Name; }

int64_t TVarnoTraySharedMemoryMap::PeriodAmount(int index) const { return Record(index).PeriodAmount; }

int64_t TVarnoTraySharedMemoryMap::LastPeriodAmount(int index) const
{
    return Record(index).LastPeriodAmount;
}

int64_t TVarnoTraySharedMemoryMap::TotalAmount(int index) const { return Record(index).TotalAmount; }

// ---------------------------------------------------------------------------

bool LockWithRetry(TSharedMemoryMap& map, int attempts, int sleepMs)
{
    if (!map.Opened())
        return false;
    map.Lock();
    for (int i = 1; i < attempts && !map.Locked(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        map.Lock();
    }
    return map.Locked();
}
