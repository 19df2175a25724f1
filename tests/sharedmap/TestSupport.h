#pragma once
// Shared helpers of the counters block tests: a private runtime folder for
// every test process, unique map names, and a decoder of the block's bytes
// that is written apart from the one under test.

#include <cstdint>
#include <string>

// The temporary folder that XDG_RUNTIME_DIR points to during the tests.
const std::string& TestRuntimeDir();

// A map name of the running test, unique to this process.
std::string UniqueMapName();

// Signed 64-bit little-endian integer at a byte offset of the block.
int64_t RawInt64(const uint8_t* block, int offset);
void PutRawInt64(uint8_t* block, int offset, int64_t value);

// Open descriptors of this process, and whether one of them is path.
int OpenFdCount();
bool FdOpenOn(const std::string& path);

bool PathExists(const std::string& path);
// Writes a plain file of the given bytes, mode 0600.
void WriteFile(const std::string& path, const std::string& bytes);

// The interpreter, the Python reader and the helper programs.
std::string PythonPath();
std::string ReaderScript();
std::string ChurnProgram();
std::string CountersProgram();
