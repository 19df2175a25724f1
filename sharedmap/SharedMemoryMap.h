#pragma once
// The named shared counters block and its cross-process lock.
//
// The block is a file of MapSize (4096) bytes named after the map, mapped
// shared; its lock is the file "LOCK" followed by the map name, taken with an
// exclusive flock(2). Both live in $XDG_RUNTIME_DIR, or in /dev/shm when that
// is unset, and are created owner-only. Other programs find them by those
// names, so the layout below and the locking protocol are fixed:
//
//   offset 0          1 byte   change count, +1 after every batch (255 -> 0)
//   offset 1 + 57*k   57 bytes range record k (k = 0..70, range number k + 1)
//   offset 4048       48 bytes unused
//
//   record: +0 name length (0..32), +1 name bytes (32), +33 period amount,
//           +41 last-period amount, +49 total amount; the amounts are signed
//           64-bit little-endian, unaligned.
//
// Holding the block: every program that has it open keeps a shared flock on
// the block file. Close removes the file only when it can take that flock
// exclusively without waiting (it was the last holder); a file that nobody
// holds at Open is a leftover of a program that was killed and starts again
// zero-filled. The lock file is never removed.
//
// The lock is taken once per matched packet, so the lock file stays open
// from the first Lock until Close: a lock cycle is then one flock(LOCK_EX)
// and one flock(LOCK_UN). Other programs see the same flock on the same
// file as before.

#include "platform/SysUtils.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

class TSharedMemoryMap : public TObject {
public:
    static constexpr int DefaultMapSize = 4096;
    static constexpr int DefaultLockTimeout = 1000;
    static constexpr int ChangeCountOffset = 0;

    explicit TSharedMemoryMap(const std::string& name);
    // Unlocks and closes; errors are swallowed.
    ~TSharedMemoryMap() override;

    TSharedMemoryMap(const TSharedMemoryMap&) = delete;
    TSharedMemoryMap& operator=(const TSharedMemoryMap&) = delete;

    // Creates the block or attaches to the one that other programs hold (its
    // contents are kept), and maps it for reading and writing. Returns true
    // or raises "Can't Create Memory Map" / "Can't View Memory Map".
    // On an open map it does nothing.
    bool Open();
    // Attaches read-only to a block that another program holds. Returns false
    // when there is none (a leftover that nobody holds is removed); raises
    // like Open otherwise. Record operations do nothing on such a map.
    bool OpenExisting();
    // Unmaps and lets go of the block; the last holder removes it.
    void Close();

    // One attempt to take the lock, waiting at most LockTimeout milliseconds
    // (a negative timeout waits without limit). False when the map is not
    // open. The first attempt opens the lock file, and it stays open, one
    // descriptor however many attempts fail or succeed, until Close; a lock
    // file that is not this user's plain file is refused and not kept. If
    // the kept file can no longer be locked, or no longer is the file that
    // the lock path names (someone removed or replaced it), it is opened
    // afresh. While the lock is held, a further call returns true and takes
    // nothing more.
    bool Lock();
    // Releases the lock. The lock file stays open for the next Lock while
    // the map is open.
    void Unlock();

    // How often at most a Lock checks that the kept lock file is still the
    // one at the lock path; the check costs a system call, the lock cycle
    // itself needs two.
    static constexpr std::chrono::milliseconds LockFileCheckInterval{1000};

    // Adds one to the change count (255 becomes 0). Does nothing unless the
    // map is open for writing.
    void IncrementChangeCount();
    // The change count; 0 while closed.
    uint8_t ChangeCount() const;

    const std::string& MapName() const { return FMapName; }
    // Raises "Map is open" while the map is open.
    void SetMapName(const std::string& name);
    int LockTimeout() const { return FLockTimeout; }
    // Raises "Map is open" while the map is open.
    void SetLockTimeout(int milliseconds);

    bool Opened() const { return FOpened; }
    bool Locked() const { return FLocked; }
    bool ReadOnly() const { return FReadOnly; }
    int MapSize() const { return FMapSize; }
    // Byte 0 of the block; nullptr while closed.
    uint8_t* Memory() const { return FMemory; }

    // The folder of the block and lock files: $XDG_RUNTIME_DIR, else /dev/shm.
    static std::string MapDirectory();
    // Paths of the block and lock files for the current MapName, in the folder
    // that Open used (or would use now).
    std::string MapPath() const;
    std::string LockPath() const;

protected:
    // True when the block may be written.
    bool Writable() const { return FOpened && !FReadOnly; }

private:
    void Attach(bool create);
    std::string Directory() const;
    bool OpenLockFile();
    void CloseLockFile();
    bool LockFileStillAtPath();

    int MapHandle = -1;    // block file, holding a shared flock while open
    void* View = nullptr;  // the mapping, for munmap
    int MutexHandle = -1;  // lock file, kept open from the first Lock until Close
    bool FOpened = false;
    bool FLocked = false;
    bool FReadOnly = false;
    int FMapSize = DefaultMapSize;
    int FLockTimeout = DefaultLockTimeout;
    std::string FMapName;
    std::string FDirectory;  // fixed at Open, so Lock and Close use the same folder
    uint8_t* FMemory = nullptr;
    std::string FLockPath;  // the path MutexHandle was opened by
    dev_t FLockDevice = 0;  // and the file it found there
    ino_t FLockInode = 0;
    std::chrono::steady_clock::time_point FLockCheckedAt;
};

// One range record, decoded.
struct TRangeRecord {
    std::string Name;  // the counted bytes of the name, at most 32
    int64_t PeriodAmount = 0;
    int64_t LastPeriodAmount = 0;
    int64_t TotalAmount = 0;
};

// The tray program's range records laid over the block. Range number N is
// record N - 1.
class TVarnoTraySharedMemoryMap : public TSharedMemoryMap {
public:
    static constexpr int RecordCount = 71;
    static constexpr int RecordSize = 57;
    static constexpr int RecordsOffset = 1;
    static constexpr int NameSize = 32;
    // Field offsets inside a record.
    static constexpr int NameLengthField = 0;
    static constexpr int NameField = 1;
    static constexpr int PeriodAmountField = 33;
    static constexpr int LastPeriodAmountField = 41;
    static constexpr int TotalAmountField = 49;

    using TSharedMemoryMap::TSharedMemoryMap;

    // Offset of record index from the start of the block.
    static constexpr int RecordOffset(int index) { return RecordsOffset + RecordSize * index; }
    static constexpr bool ValidIndex(int index) { return index >= 0 && index < RecordCount; }

    // Record operations. They neither lock nor change the change count.
    // Each returns false and writes nothing when the map is not open for
    // writing or the index is outside 0..RecordCount-1.

    // Period and total amounts grow by amount (two's-complement, wrapping).
    bool AddAmount(int index, int64_t amount);
    // Period and total amounts become 0; the last-period amount stays.
    bool ClearRange(int index);
    // Last-period amount := period amount; period amount := 0.
    bool RollPeriod(int index);
    // Stores at most NameSize bytes of the name, cut back to a whole UTF-8
    // character; name bytes beyond the new length are left as they were.
    bool SetRangeName(int index, std::string_view name);

    // Read accessors; empty or 0 when closed or for an index out of range.
    std::string RangeName(int index) const;
    int64_t PeriodAmount(int index) const;
    int64_t LastPeriodAmount(int index) const;
    int64_t TotalAmount(int index) const;
    TRangeRecord Record(int index) const;

    // Decodes record index from a copy of the block. A name length above
    // NameSize counts as NameSize; an index or a copy too short for the
    // record gives an empty record.
    static TRangeRecord DecodeRecord(std::span<const uint8_t> block, int index);
    // The bytes of name that SetRangeName stores.
    static std::string_view StoredName(std::string_view name);
};

// Takes the map's lock the way every writer and reader of the block does:
// one attempt, then up to attempts - 1 more, each after sleepMs. Returns
// Locked(); false at once when the map is not open.
bool LockWithRetry(TSharedMemoryMap& map, int attempts = 11, int sleepMs = 10);
