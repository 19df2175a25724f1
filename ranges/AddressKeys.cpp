#include "ranges/AddressKeys.h"

namespace AddressKeys {

std::int64_t FromPaddedText(std::string_view Text)
{
    if (Text.size() != 15)
        return NoKey;
    std::int64_t key = 0;
    for (size_t i = 0; i < 15; ++i) {
        const char c = Text[i];
        if (i % 4 == 3) {
            if (c != '.')
                return NoKey;
            continue;
        }
        if (c < '0' || c > '9')
            return NoKey;
        key = key * 10 + (c - '0');
    }
    return key;
}

void ToText(std::int64_t Key, char (&Out)[15])
{
    for (int i = 14; i >= 0; --i) {
        if (i % 4 == 3) {
            Out[i] = '.';
            continue;
        }
        Out[i] = char('0' + Key % 10);
        Key /= 10;
    }
}

namespace {

std::string_view TextOf(std::int64_t key, char (&buffer)[15])
{
    ToText(key, buffer);
    return std::string_view(buffer, 15);
}

} // namespace

std::int64_t FirstKeyNotBelow(std::string_view Bound)
{
    // The texts of keys ascend with the keys, so the keys at or above any
    // bound form a tail: find where it starts.
    std::int64_t lo = 0, hi = KeyCount;
    char buffer[15];
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (TextOf(mid, buffer) >= Bound)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

std::int64_t LastKeyNotAbove(std::string_view Bound)
{
    std::int64_t lo = 0, hi = KeyCount; // first key above the bound
    char buffer[15];
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (TextOf(mid, buffer) > Bound)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo - 1;
}

bool FirstAddressNotBelow(std::int64_t Key, std::uint32_t& Addr)
{
    std::uint64_t lo = 0, hi = 0x100000000ull;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (FromAddress(std::uint32_t(mid)) >= Key)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (lo == 0x100000000ull)
        return false;
    Addr = std::uint32_t(lo);
    return true;
}

bool LastAddressNotAbove(std::int64_t Key, std::uint32_t& Addr)
{
    std::uint64_t lo = 0, hi = 0x100000000ull; // first address above the key
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (FromAddress(std::uint32_t(mid)) > Key)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (lo == 0)
        return false;
    Addr = std::uint32_t(lo - 1);
    return true;
}

} // namespace AddressKeys
