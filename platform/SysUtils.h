#pragma once
// Exceptions, text-to-integer conversion and the small text helpers that the
// rest of the system shares.

#include <stdexcept>
#include <string>
#include <string_view>

// The general error class: a failure that carries a message text.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Raised when a text is not a valid integer.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Base for objects that are passed as the sender of an event.
class TObject {
public:
    virtual ~TObject() = default;
};

// Converts text to a signed 32-bit integer: blanks before the number are
// skipped, then an optional sign, then decimal digits, or hexadecimal digits
// after "$", "x", "X", "0x" or "0X". Nothing may follow the number.
// Raises EConvertError "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);
bool TryStrToInt(std::string_view text, int& value);
int StrToIntDef(std::string_view text, int defaultValue);

// The message of the conversion error for the given text.
std::string InvalidIntegerMessage(std::string_view text);

// Removes every character with a code of 32 or less from both ends.
std::string Trim(std::string_view text);

// Changes the ASCII letters only.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

// True when the ASCII-insensitive forms are equal.
bool SameText(std::string_view a, std::string_view b);

// Cuts a list at commas and calls f with each item in order: a trailing
// comma adds no item, a leading comma or two in a row give an empty item, the
// empty text gives none. f returns false to stop.
template <class F>
void ForEachListItem(std::string_view list, F&& f)
{
    while (!list.empty()) {
        std::string_view item;
        const size_t comma = list.find(',');
        if (comma == std::string_view::npos) {
            item = list;
            list = {};
        } else {
            item = list.substr(0, comma);
            list.remove_prefix(comma + 1);
        }
        if (!f(item))
            break;
    }
}
