#include "platform/IniFiles.h"

#include "platform/SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "[name]" -> name (trimmed); anything else -> false.
bool SectionName(const std::string& line, std::string& name)
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
bool KeyLine(const std::string& line, std::string& key, std::string& value)
{
    const std::string t = Trim(line);
    if (t.empty() || t.front() == ';')
        return false;
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(std::string_view(line).substr(0, eq));
    value = line.substr(eq + 1);
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

} // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::vector<std::string> TIniFile::LoadLines(bool* crlf) const
{
    std::vector<std::string> lines;
    if (crlf)
        *crlf = false;
    std::ifstream in(fileName_, std::ios::binary);
    if (!in)
        return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (crlf)
                *crlf = true;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

const std::string* TIniFile::FindRaw(const std::vector<std::string>& lines, const std::string& section,
                                     const std::string& key, std::string& rawValue) const
{
    bool inSection = false;
    bool sectionSeen = false;
    std::string name, k, v;
    for (const auto& line : lines) {
        if (SectionName(line, name)) {
            if (inSection)
                break; // only the first section of that name counts
            inSection = !sectionSeen && SameText(name, Trim(section));
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (inSection && KeyLine(line, k, v) && SameText(k, Trim(key))) {
            rawValue = v;
            return &line;
        }
    }
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    std::string raw;
    const auto lines = LoadLines(nullptr);
    if (!FindRaw(lines, section, key, raw))
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
    std::string name;
    for (const auto& line : LoadLines(nullptr))
        if (SectionName(line, name) && SameText(name, Trim(section)))
            return true;
    return false;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    std::string raw;
    const auto lines = LoadLines(nullptr);
    return FindRaw(lines, section, key, raw) != nullptr;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    const std::string failure = "Unable to write to " + fileName_;
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || Trim(key).empty()
        || section.find(']') != std::string::npos || key.find('=') != std::string::npos)
        throw Exception(failure);

    bool crlf = false;
    std::vector<std::string> lines = LoadLines(&crlf);
    const std::string entry = key + "=" + value;

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
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    }

    std::string text;
    const char* eol = crlf ? "\r\n" : "\n";
    for (const auto& line : lines)
        text += line + eol;

    // Write beside the file and rename over it, so that a failure never
    // leaves a half-written file behind.
    const std::string tmp = fileName_ + ".tmp-" + std::to_string(getpid());
    mode_t mode = 0644;
    struct stat st {};
    if (stat(fileName_.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        throw Exception(failure);
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
    if (close(fd) != 0 || !ok || rename(tmp.c_str(), fileName_.c_str()) != 0) {
        unlink(tmp.c_str());
        throw Exception(failure);
    }
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
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return;
    std::stringstream text;
    text << in.rdbuf();
    Parse(text.str());
}

TIniSnapshot TIniSnapshot::FromText(std::string_view text)
{
    TIniSnapshot snapshot;
    snapshot.Parse(text);
    return snapshot;
}

void TIniSnapshot::Parse(std::string_view text)
{
    // The same line rules as TIniFile::FindRaw, applied once to every line.
    std::unordered_map<std::string, std::string>* current = nullptr;
    std::string line, name, k, v;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        line.assign(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (SectionName(line, name)) {
            // Later sections of a name already seen are never read.
            const auto [it, inserted] = sections_.try_emplace(UpperCase(name));
            current = inserted ? &it->second : nullptr;
            continue;
        }
        if (current && KeyLine(line, k, v))
            current->try_emplace(UpperCase(k), v);
    }
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
