#pragma once
// Initialisation files with the Windows profile rules:
// - section and key names match without regard to ASCII letter case, and the
//   first matching section and key win;
// - a value loses the blanks around it and one pair of enclosing quotation
//   marks (both " or both '), and is read up to 2047 characters;
// - integers are decimal, or hexadecimal after "$", "0x" or "0X"; a value that
//   is not an integer gives the default; Booleans are integers, true when not 0;
// - every write reaches the file at once, replacing the file as a whole
//   (written beside it, then renamed), so a failed write never leaves half a
//   file; other sections, keys, comments and the line endings stay as they were.
// A missing or unreadable file, a path that is not a regular file (a folder,
// a FIFO, a device), or a file larger than MaxFileSize reads as empty;
// reading never creates a file.
// A write raises instead of replacing a file that exists but cannot be read
// (its other entries would be lost) or that is not writable; a symbolic link
// is written through to its target and stays a link. Lines end at "\n" (a
// "\r" before it is dropped); a lone "\r" is part of the line.

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class TIniFile {
public:
    static constexpr size_t MaxValueLength = 2047;
    // Larger files are not read: they read as unreadable ones do.
    static constexpr size_t MaxFileSize = size_t(256) << 20;

    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    // Raise Exception "Unable to write to <file name>" when the file cannot be
    // written, or when a name or value holds a line break.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    // Several keys of one section in one replacement of the file: either all
    // of them are written or, raising as WriteString does, none.
    void WriteStrings(const std::string& section, const std::vector<std::pair<std::string, std::string>>& entries);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Written as "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

private:
    std::string fileName_;
};

// The whole text of fileName, as TIniFile reads it. A missing file gives an
// empty text and true; a file that exists but cannot be read, or that is not
// a regular file, gives false and the reason in problem ("not a regular
// file", or the system's text such as "Permission denied").
bool ReadIniFileText(const std::string& fileName, std::string& text, std::string& problem);
// The same for a file already open (opened without waiting, so a FIFO in
// its place cannot stall the caller): false, with an empty text, when it is
// not a regular file, cannot be read or is larger than MaxFileSize.
bool ReadIniFileText(int fd, std::string& text);

// A read-only picture of an initialisation file taken once: answers
// ReadString exactly as TIniFile would have for the text it was made from,
// without opening the file again. For files read many times between changes.
class TIniSnapshot {
public:
    TIniSnapshot() = default;
    // The file's text; a missing or unreadable file reads as empty.
    explicit TIniSnapshot(const std::string& fileName);
    // The text of a file, already read. With keys given, only those keys
    // are kept (any letter case), so a file crowded with other keys costs
    // no memory beyond its text.
    static TIniSnapshot FromText(std::string_view text, std::initializer_list<std::string_view> keys = {});

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;

private:
    void Parse(std::string_view text, std::initializer_list<std::string_view> keys = {});

    // Upper-cased trimmed names of the first section of each name, and in it
    // the first raw value of each upper-cased trimmed key.
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections_;
};
