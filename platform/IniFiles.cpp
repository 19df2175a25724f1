#include "platform/IniFiles.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "[name]" -> name (trimmed); anything else -> false.
bool SectionName(std::string_view line, std::string& name)
{
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    const auto close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(std::string_view(t).substr(1, close - 1));
    return true;
}

// "key=value" -> key (trimmed) and the raw value; comments and other lines -> false.
bool KeyLine(std::string_view line, std::string& key, std::string& value)
{
    // Only the start matters for a comment: skip the blanks without copying
    // the whole (possibly very long) line.
    const auto first = std::find_if(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) > 32; });
    if (first == line.end() || *first == ';')
        return false;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(line.substr(0, eq));
    value.assign(line.substr(eq + 1));
    return true;
}

std::string CleanValue(const std::string& raw)
{
    std::string v = Trim(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > TIniFile::MaxValueLength)
        v.resize(TIniFile::MaxValueLength);
    return v;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

enum class TFileText { Missing, Read, Unreadable };

// The whole text of a regular file. Opened without waiting, so that a FIFO or
// a device in place of the file can neither stall nor flood the reader: what
// is not a regular file is unreadable. The text is held once, so memory grows
// with the file's size and nothing more.
// The text of an open regular file, read to its end; false with the reason
// for anything else. Does not close fd.
bool ReadOpenFile(int fd, std::string& text, std::string* problem)
{
    text.clear();
    const auto fail = [&](std::string reason) {
        if (problem)
            *problem = std::move(reason);
        text.clear();
        return false;
    };
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail("not a regular file");
    // Far beyond any real initialisation file; a sparse or endless file
    // would otherwise take all memory.
    const auto tooLarge = [&] { return fail("larger than " + std::to_string(TIniFile::MaxFileSize) + " bytes"); };
    if (std::uint64_t(st.st_size) > TIniFile::MaxFileSize)
        return tooLarge();
    if (st.st_size > 0)
        text.reserve(size_t(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(std::strerror(errno));
        if (n == 0)
            return true;
        if (text.size() + size_t(n) > TIniFile::MaxFileSize)
            return tooLarge();
        text.append(buffer, size_t(n));
    }
}

TFileText ReadFileText(const std::string& fileName, std::string& text, std::string* problem = nullptr)
{
    text.clear();
    const int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return TFileText::Missing;
        if (problem)
            *problem = std::strerror(errno);
        return TFileText::Unreadable;
    }
    const bool read = ReadOpenFile(fd, text, problem);
    close(fd);
    return read ? TFileText::Read : TFileText::Unreadable;
}

// Calls f with every line of text, without its line end ("\n" or "\r\n").
// A lone "\r" does not end a line, as in the Windows profile rules.
template <typename F>
void ForEachLine(std::string_view text, F f)
{
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!f(line))
            return;
    }
}

// The raw value of key in the first section of that name.
bool FindRaw(std::string_view text, const std::string& section, const std::string& key, std::string& rawValue)
{
    const std::string wantSection = Trim(section);
    const std::string wantKey = Trim(key);
    bool inSection = false;
    bool sectionSeen = false;
    bool found = false;
    std::string name, k, v;
    ForEachLine(text, [&](std::string_view line) {
        if (SectionName(line, name)) {
            if (inSection)
                return false; // only the first section of that name counts
            inSection = !sectionSeen && SameText(name, wantSection);
            sectionSeen = sectionSeen || inSection;
            return true;
        }
        if (inSection && KeyLine(line, k, v) && SameText(k, wantKey)) {
            rawValue = v;
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

// Writes text to a new file beside target and renames it over target, so
// that target is either the old file or the new one, never half of either.
bool ReplaceFile(const std::string& target, const std::string& text)
{
    mode_t mode = 0644;
    struct stat st {};
    const bool existed = stat(target.c_str(), &st) == 0;
    if (existed)
        mode = st.st_mode & 07777;

    // A name nobody else holds: O_EXCL never opens a file planted there.
    static unsigned serial = 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    if (existed) {
        // Keep the old file's mode (the creation mode lost the umask's bits)
        // and, when root writes someone else's file, its owner.
        // Either may fail on file systems without owners; the text matters more.
        bool kept = fchmod(fd, mode) == 0;
        if (geteuid() == 0 && (st.st_uid != 0 || st.st_gid != 0))
            kept = fchown(fd, st.st_uid, st.st_gid) == 0 && kept;
        (void)kept;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += size_t(n);
    }
    const bool ok = written == text.size() && fsync(fd) == 0;
    if (close(fd) != 0 || !ok || rename(tmp.c_str(), target.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool ReadIniFileText(const std::string& fileName, std::string& text, std::string& problem)
{
    return ReadFileText(fileName, text, &problem) != TFileText::Unreadable;
}

bool ReadIniFileText(int fd, std::string& text)
{
    return ReadOpenFile(fd, text, nullptr);
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    std::string text, raw;
    ReadFileText(fileName_, text);
    if (!FindRaw(text, section, key, raw))
        return defaultValue;
    return CleanValue(raw);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const
{
    std::string text = ReadString(section, key, "");
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = "$" + text.substr(2);
    int value = 0;
    // Only decimal and "$"-prefixed hexadecimal count here.
    if (!text.empty() && (text[0] == 'x' || text[0] == 'X'))
        return defaultValue;
    return TryStrToInt(text, value) ? value : defaultValue;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& section) const
{
    std::string text, name;
    ReadFileText(fileName_, text);
    const std::string want = Trim(section);
    bool found = false;
    ForEachLine(text, [&](std::string_view line) {
        found = SectionName(line, name) && SameText(name, want);
        return !found;
    });
    return found;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    std::string text, raw;
    ReadFileText(fileName_, text);
    return FindRaw(text, section, key, raw);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    WriteStrings(section, {{key, value}});
}

void TIniFile::WriteStrings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& entries)
{
    const std::string failure = "Unable to write to " + fileName_;
    if (HasLineBreak(section) || section.find(']') != std::string::npos)
        throw Exception(failure);
    for (const auto& [key, value] : entries)
        if (HasLineBreak(key) || HasLineBreak(value) || Trim(key).empty() || key.find('=') != std::string::npos)
            throw Exception(failure);

    // A link is written through, so the link stays and its target changes.
    std::string target = fileName_;
    struct stat lst {};
    if (lstat(fileName_.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char* resolved = realpath(fileName_.c_str(), nullptr);
        if (!resolved)
            throw Exception(failure); // a dangling link: nowhere to write
        target = resolved;
        free(resolved);
    }

    // What cannot be read cannot be kept: rewriting it from nothing would
    // lose every other entry. A file its owner made read-only stays as it is.
    std::string old;
    const TFileText state = ReadFileText(target, old);
    if (state == TFileText::Unreadable
        || (state == TFileText::Read && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
        throw Exception(failure);

    std::vector<std::string_view> lines;
    bool crlf = false;
    ForEachLine(old, [&](std::string_view line) {
        const size_t end = size_t(line.data() - old.data()) + line.size();
        crlf = crlf || (end < old.size() && old[end] == '\r');
        lines.push_back(line);
        return true;
    });
    // The new lines, where the views in lines can point at them.
    std::vector<std::string> added;
    added.reserve(entries.size() + 1);
    const std::string header = "[" + section + "]";

    for (const auto& [key, value] : entries) {
        const std::string& entry = added.emplace_back(key + "=" + value);
        // Locate the first section of that name and, inside it, the key.
        long sectionAt = -1, lastEntryAt = -1, keyAt = -1;
        std::string name, k, v;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (SectionName(lines[i], name)) {
                if (sectionAt >= 0)
                    break;
                if (SameText(name, Trim(section))) {
                    sectionAt = long(i);
                    lastEntryAt = long(i);
                }
                continue;
            }
            if (sectionAt < 0)
                continue;
            if (!Trim(lines[i]).empty())
                lastEntryAt = long(i);
            if (keyAt < 0 && KeyLine(lines[i], k, v) && SameText(k, Trim(key)))
                keyAt = long(i);
        }
        if (keyAt >= 0) {
            lines[size_t(keyAt)] = entry;
        } else if (sectionAt >= 0) {
            lines.insert(lines.begin() + lastEntryAt + 1, entry);
        } else {
            if (!lines.empty() && !Trim(lines.back()).empty())
                lines.emplace_back();
            lines.push_back(header);
            lines.push_back(entry);
        }
    }

    std::string text;
    text.reserve(old.size() + header.size() + 8 + entries.size() * 2);
    const char* eol = crlf ? "\r\n" : "\n";
    for (const auto& line : lines) {
        text += line;
        text += eol;
    }
    if (!ReplaceFile(target, text))
        throw Exception(failure);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

TIniSnapshot::TIniSnapshot(const std::string& fileName)
{
    std::string text;
    ReadFileText(fileName, text);
    Parse(text);
}

TIniSnapshot TIniSnapshot::FromText(std::string_view text, std::initializer_list<std::string_view> keys)
{
    TIniSnapshot snapshot;
    snapshot.Parse(text, keys);
    return snapshot;
}

void TIniSnapshot::Parse(std::string_view text, std::initializer_list<std::string_view> keys)
{
    std::vector<std::string> wanted;
    for (const std::string_view key : keys)
        wanted.push_back(UpperCase(Trim(key)));
    const auto kept = [&wanted](const std::string& key) {
        return wanted.empty() || std::find(wanted.begin(), wanted.end(), key) != wanted.end();
    };
    // The same line rules as TIniFile::FindRaw, applied once to every line.
    std::unordered_map<std::string, std::string>* current = nullptr;
    std::string name, k, v;
    ForEachLine(text, [&](std::string_view line) {
        if (SectionName(line, name)) {
            // Later sections of a name already seen are never read.
            const auto [it, inserted] = sections_.try_emplace(UpperCase(name));
            current = inserted ? &it->second : nullptr;
            return true;
        }
        if (current && KeyLine(line, k, v)) {
            std::string upper = UpperCase(k);
            if (kept(upper))
                current->try_emplace(std::move(upper), v);
        }
        return true;
    });
}

std::string TIniSnapshot::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const
{
    const auto s = sections_.find(UpperCase(Trim(section)));
    if (s == sections_.end())
        return defaultValue;
    const auto k = s->second.find(UpperCase(Trim(key)));
    if (k == s->second.end())
        return defaultValue;
    return CleanValue(k->second);
}
