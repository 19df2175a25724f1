// varno-counters: prints the tray program's per-range counters from the
// shared block, for people (plain table, --watch) and scripts (--json).
//
// Exit status: 0 done, 1 no block to read, 2 bad command line, 3 the lock
// could not be had.

#include "sharedmap/SharedMemoryMap.h"
#include "platform/SysUtils.h"

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TMap = TVarnoTraySharedMemoryMap;
using TBlock = std::array<uint8_t, TMap::DefaultMapSize>;

enum ExitStatus { ExitOk = 0, ExitNoBlock = 1, ExitUsage = 2, ExitNoLock = 3 };

struct TOptions {
    std::string MapName = "VarnoTray";
    bool Json = false;
    bool Watch = false;
    int Count = 0;  // frames in --watch; 0: until stopped
    int IntervalMs = 1000;
    int LockTimeoutMs = TMap::DefaultLockTimeout;
};

void PrintUsage(FILE* out)
{
    std::fputs(
        "Usage: varno-counters [--json] [--watch] [--map NAME]\n"
        "Prints the change count and the counters of every named range of the\n"
        "Varno Tray shared counters block.\n"
        "\n"
        "  --json             one JSON object (with --watch: one per line)\n"
        "  --watch            redraw every second, with the last period as a rate\n"
        "  --map NAME         read the block NAME instead of \"VarnoTray\"\n"
        "  --count N          with --watch: stop after N redraws\n"
        "  --interval MS      with --watch: milliseconds between redraws (1000)\n"
        "  --lock-timeout MS  wait of each of the 11 lock attempts (1000)\n"
        "\n"
        "Exit status: 0 done, 1 no block, 2 usage, 3 lock not obtained.\n",
        out);
}

bool ParseNumber(const char* text, int minimum, int& value)
{
    int v = 0;
    // Plain decimal only: "$10" or "0x10" on a command line is a typo.
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    if (!TryStrToInt(text, v) || v < minimum)
        return false;
    value = v;
    return true;
}

// Returns -1 when the options are fine, else the exit status.
int ParseOptions(int argc, char** argv, TOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto needValue = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "varno-counters: %s needs %s\n", argv[i], what);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--watch") {
            options.Watch = true;
        } else if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return ExitOk;
        } else if (arg == "--map") {
            const char* v = needValue("a map name");
            if (!v)
                return ExitUsage;
            options.MapName = v;
            if (options.MapName.empty()) {
                std::fprintf(stderr, "varno-counters: the map name is empty\n");
                return ExitUsage;
            }
        } else if (arg == "--count" || arg == "--interval" || arg == "--lock-timeout") {
            const char* v = needValue("a number");
            if (!v)
                return ExitUsage;
            int& target = arg == "--count"      ? options.Count
                          : arg == "--interval" ? options.IntervalMs
                                                : options.LockTimeoutMs;
            if (!ParseNumber(v, arg == "--interval" ? 1 : 0, target)) {
                std::fprintf(stderr, "varno-counters: %s: '%s' is not a valid number\n",
                             std::string(arg).c_str(), v);
                return ExitUsage;
            }
        } else {
            std::fprintf(stderr, "varno-counters: unknown option '%s'\n", argv[i]);
            PrintUsage(stderr);
            return ExitUsage;
        }
    }
    return -1;
}

// Decodes one UTF-8 character at text[pos]; returns its length, or 0 when
// the bytes there are not a valid character.
size_t Utf8Char(std::string_view text, size_t pos, uint32_t& code)
{
    const uint8_t b0 = uint8_t(text[pos]);
    size_t len;
    uint32_t min;
    if (b0 < 0x80) {
        code = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, code = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, code = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, code = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (pos + len > text.size())
        return 0;
    for (size_t i = 1; i < len; ++i) {
        const uint8_t b = uint8_t(text[pos + i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (b & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return len;
}

// A name as terminal text: names come from a user's ranges file and must not
// be able to send control sequences to the terminal. Returns the text and
// its width in characters.
std::string TerminalText(std::string_view name, size_t& width)
{
    std::string out;
    width = 0;
    for (size_t pos = 0; pos < name.size();) {
        uint32_t code = 0;
        const size_t len = Utf8Char(name, pos, code);
        if (len == 0 || code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            out += '?';
            pos += len ? len : 1;
        } else {
            out.append(name.substr(pos, len));
            pos += len;
        }
        ++width;
    }
    return out;
}

// A JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (size_t pos = 0; pos < text.size();) {
        uint32_t code = 0;
        const size_t len = Utf8Char(text, pos, code);
        if (len == 0) {
            out += "\\ufffd";
            ++pos;
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += char(code);
        } else if (code < 0x20 || code == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(code));
            out += buf;
        } else {
            out.append(text.substr(pos, len));
        }
        pos += len;
    }
    return out + "\"";
}

std::string HumanBytes(int64_t amount)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    const bool negative = amount < 0;
    // Magnitude as unsigned: the most negative amount has no positive twin.
    const uint64_t magnitude = negative ? 0 - uint64_t(amount) : uint64_t(amount);
    char buf[32];
    if (magnitude < 1024) {
        std::snprintf(buf, sizeof buf, "%s%" PRIu64 " B", negative ? "-" : "", magnitude);
        return buf;
    }
    double value = double(magnitude);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(buf, sizeof buf, "%s%.1f %s", negative ? "-" : "", value, units[unit]);
    return buf;
}

std::string Padded(const std::string& text, size_t width, size_t column)
{
    return text + std::string(column > width ? column - width : 0, ' ');
}

struct TRow {
    int Number;
    TRangeRecord Record;
};

std::vector<TRow> NamedRecords(const TBlock& block)
{
    std::vector<TRow> rows;
    for (int index = 0; index < TMap::RecordCount; ++index) {
        TRangeRecord record = TMap::DecodeRecord(block, index);
        if (!record.Name.empty())
            rows.push_back({index + 1, std::move(record)});
    }
    return rows;
}

void PrintPlain(const TBlock& block)
{
    std::printf("Change count: %u\n", unsigned(block[TMap::ChangeCountOffset]));
    std::printf("%3s  %-32s  %20s  %20s  %20s\n", "No", "Name", "Period amount",
                "Last period amount", "Total amount");
    for (const TRow& row : NamedRecords(block)) {
        size_t width = 0;
        const std::string name = TerminalText(row.Record.Name, width);
        std::printf("%3d  %s  %20" PRId64 "  %20" PRId64 "  %20" PRId64 "\n", row.Number,
                    Padded(name, width, TMap::NameSize).c_str(), row.Record.PeriodAmount,
                    row.Record.LastPeriodAmount, row.Record.TotalAmount);
    }
}

void PrintWatchFrame(const TBlock& block, const TOptions& options)
{
    if (isatty(STDOUT_FILENO))
        std::fputs("\033[H\033[2J", stdout);
    size_t mapWidth = 0;
    std::printf("%s  change count %u  (every %g s; Ctrl+C stops)\n",
                TerminalText(options.MapName, mapWidth).c_str(),
                unsigned(block[TMap::ChangeCountOffset]), options.IntervalMs / 1000.0);
    std::printf("%3s  %-32s  %14s  %12s  %20s\n", "No", "Name", "Rate", "Total", "Total bytes");
    for (const TRow& row : NamedRecords(block)) {
        size_t width = 0;
        const std::string name = TerminalText(row.Record.Name, width);
        // A period is one tick of the tray's one-second history timer.
        std::printf("%3d  %s  %14s  %12s  %20" PRId64 "\n", row.Number,
                    Padded(name, width, TMap::NameSize).c_str(),
                    (HumanBytes(row.Record.LastPeriodAmount) + "/s").c_str(),
                    HumanBytes(row.Record.TotalAmount).c_str(), row.Record.TotalAmount);
    }
    if (!isatty(STDOUT_FILENO))
        std::fputs("\n", stdout);
}

void PrintJson(const TBlock& block, const TOptions& options)
{
    std::string out = "{\"map\":" + JsonString(options.MapName) +
                      ",\"change_count\":" + std::to_string(block[TMap::ChangeCountOffset]) +
                      ",\"records\":[";
    bool first = true;
    for (const TRow& row : NamedRecords(block)) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"number\":" + std::to_string(row.Number) + ",\"name\":" + JsonString(row.Record.Name) +
               ",\"period_amount\":" + std::to_string(row.Record.PeriodAmount) +
               ",\"last_period_amount\":" + std::to_string(row.Record.LastPeriodAmount) +
               ",\"total_amount\":" + std::to_string(row.Record.TotalAmount) + "}";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
}

} // namespace

int main(int argc, char** argv)
{
    TOptions options;
    if (const int status = ParseOptions(argc, argv, options); status >= 0)
        return status;

    TMap map(options.MapName);
    try {
        map.SetLockTimeout(options.LockTimeoutMs);
        if (!map.OpenExisting()) {
            std::fprintf(stderr,
                         "varno-counters: there is no counters block \"%s\" in %s "
                         "(is Varno Tray running?)\n",
                         options.MapName.c_str(), TMap::MapDirectory().c_str());
            return ExitNoBlock;
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "varno-counters: %s: %s\n", map.MapPath().c_str(), e.what());
        return ExitNoBlock;
    }

    for (int frame = 1;; ++frame) {
        TBlock block{};
        if (!LockWithRetry(map)) {
            std::fprintf(stderr,
                         "varno-counters: the lock %s could not be taken: another program "
                         "holds it\n",
                         map.LockPath().c_str());
            return ExitNoLock;
        }
        // Copy under the lock and let go at once; formatting needs no lock.
        std::memcpy(block.data(), map.Memory(), block.size());
        map.Unlock();

        if (options.Json)
            PrintJson(block, options);
        else if (options.Watch)
            PrintWatchFrame(block, options);
        else
            PrintPlain(block);
        std::fflush(stdout);

        if (!options.Watch || (options.Count > 0 && frame >= options.Count))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.IntervalMs));
    }
    return ExitOk;
}
