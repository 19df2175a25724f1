// The INI reader on arbitrary file contents. The snapshot, read from the
// file and from the text, must answer as TIniFile does for the sections and
// keys the text names; a write must change its own key only.

#include "platform/IniFiles.h"
#include "platform/SysUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Every question to TIniFile reads the whole file: a few names keep an
// input fast.
constexpr size_t kMaxNames = 5;
// Defaults no value can equal by chance.
const std::string kDefaultA = "\x01" "absent";
const std::string kDefaultB = "\x02" "absent";

std::string Dir;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "ini fuzzer: %s\n", what.c_str());
    std::abort();
}

void AddName(std::vector<std::string>& names, std::string name)
{
    if (names.size() >= kMaxNames)
        return;
    for (const auto& n : names)
        if (n == name)
            return;
    names.push_back(std::move(name));
}

// Bracketed texts and the texts before "=" of every line, as written, plus a
// few names that no text holds.
void NamesIn(std::string_view text, std::vector<std::string>& sections, std::vector<std::string>& keys)
{
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        const size_t open = line.find('['), close = line.find(']');
        if (open != std::string_view::npos && close != std::string_view::npos && open < close)
            AddName(sections, std::string(line.substr(open + 1, close - open - 1)));
        if (const size_t eq = line.find('='); eq != std::string_view::npos)
            AddName(keys, std::string(line.substr(0, eq)));
    }
    AddName(sections, "");
    AddName(sections, "Range 1");
    AddName(keys, "");
    AddName(keys, "Display Name");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory where there is such a folder: every write syncs the file.
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    pattern += "/varno-fuzz-ini-XXXXXX";
    if (!mkdtemp(pattern.data()))
        Fail("no scratch folder");
    Dir = pattern;
    std::atexit([] {
        unlink((Dir + "/f.ini").c_str());
        rmdir(Dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view text(reinterpret_cast<const char*>(Data), Size);
    const std::string path = Dir + "/f.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
        if (!out)
            Fail("cannot write the scratch file");
    }
    std::vector<std::string> sections, keys;
    NamesIn(text, sections, keys);

    TIniFile ini(path);
    const TIniSnapshot fromFile(path);
    const TIniSnapshot fromText = TIniSnapshot::FromText(text);

    std::vector<std::string> before;
    for (const auto& s : sections) {
        const bool sectionExists = ini.SectionExists(s);
        for (const auto& k : keys) {
            const std::string value = ini.ReadString(s, k, kDefaultA);
            const bool present = ini.ValueExists(s, k);
            if (present ? value.size() > TIniFile::MaxValueLength : value != kDefaultA)
                Fail("ReadString differs from ValueExists for [" + s + "] " + k);
            if (present && !sectionExists)
                Fail("a value in a section that does not exist: [" + s + "] " + k);
            for (const TIniSnapshot* snapshot : {&fromFile, &fromText})
                if (snapshot->ReadString(s, k, kDefaultA) != value ||
                    snapshot->ReadString(s, k, kDefaultB) != (present ? value : kDefaultB))
                    Fail("snapshot differs from the file for [" + s + "] " + k);
            const int number = ini.ReadInteger(s, k, 12345);
            if (!present && number != 12345)
                Fail("an absent integer is not the default");
            before.push_back(value);
        }
    }

    // Write one new key into the first named section; every other answer
    // stays as it was.
    const std::string& section = sections.front();
    const std::string key = "FuzzKey";
    const std::string value = "written";
    try {
        ini.WriteString(section, key, value);
    } catch (const Exception&) {
        return 0; // a name the file cannot hold
    }
    if (ini.ReadString(section, key, kDefaultA) != value)
        Fail("written value not read back from [" + section + "]");
    size_t at = 0;
    for (const auto& s : sections)
        for (const auto& k : keys) {
            if (!(SameText(Trim(s), Trim(section)) && SameText(Trim(k), key)) &&
                ini.ReadString(s, k, kDefaultA) != before[at])
                Fail("write to [" + section + "] changed [" + s + "] " + k);
            ++at;
        }
    return 0;
}
