#include "NodeStatus.h"

#include <cstdio>

namespace {

constexpr std::uint16_t TypeNBSTAT = 0x0021;
constexpr std::uint16_t ClassIN = 0x0001;
constexpr size_t NameEntrySize = 18; // 15 name bytes, suffix, 2 flag bytes
constexpr size_t UnitIdSize = 6;

constexpr std::uint16_t FlagGroup = 0x8000;
constexpr std::uint16_t FlagDeregister = 0x1000;
constexpr std::uint16_t FlagConflict = 0x0800;

class TReader {
public:
    TReader(const std::uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool U8(std::uint8_t& v)
    {
        if (size_ - pos_ < 1)
            return false;
        v = data_[pos_++];
        return true;
    }
    bool U16(std::uint16_t& v)
    {
        if (size_ - pos_ < 2)
            return false;
        v = std::uint16_t(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool Skip(size_t n)
    {
        if (size_ - pos_ < n)
            return false;
        pos_ += n;
        return true;
    }
    // A name as labels, ending with a zero length or a compression pointer.
    bool SkipName()
    {
        for (int labels = 0; labels < 128; ++labels) {
            std::uint8_t len = 0;
            if (!U8(len))
                return false;
            if (len == 0)
                return true;
            if ((len & 0xC0) == 0xC0)
                return Skip(1);
            if (len & 0xC0)
                return false;
            if (!Skip(len))
                return false;
        }
        return false;
    }
    size_t Left() const { return size_ - pos_; }
    const std::uint8_t* Here() const { return data_ + pos_; }

private:
    const std::uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v & 0xFF));
}

// Bytes that would break the table or fool its reader become dots.
std::string Printable(const std::string& name)
{
    std::string out;
    for (unsigned char c : name)
        out += (c < 0x20 || c == 0x7F) ? '.' : char(c);
    return out;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

// A row whose name is blank, or looks like the dashed line or the address
// line, would be misread by whoever parses the table.
bool Misleading(const std::string& name)
{
    return name.find_first_not_of(' ') == std::string::npos || name.find("-----") != std::string::npos ||
           Upper(name).find("MAC ADDRESS") != std::string::npos;
}

std::string Padded(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

} // namespace

std::vector<std::uint8_t> BuildNodeStatusRequest(std::uint16_t transactionId)
{
    std::vector<std::uint8_t> out;
    PutU16(out, transactionId);
    PutU16(out, 0x0000); // query, no recursion: a node status goes to the node itself
    PutU16(out, 1);      // QDCOUNT
    PutU16(out, 0);
    PutU16(out, 0);
    PutU16(out, 0);
    // "*" padded with zero bytes to 16, first-level encoded: every half-byte
    // becomes a letter from 'A'.
    std::uint8_t name[16] = {'*'};
    out.push_back(32);
    for (std::uint8_t b : name) {
        out.push_back(std::uint8_t('A' + (b >> 4)));
        out.push_back(std::uint8_t('A' + (b & 0x0F)));
    }
    out.push_back(0);
    PutU16(out, TypeNBSTAT);
    PutU16(out, ClassIN);
    return out;
}

std::optional<TNodeStatus> DecodeNodeStatusResponse(const std::uint8_t* data, size_t size,
                                                    std::uint16_t transactionId)
{
    TReader r(data, size);
    std::uint16_t id = 0, flags = 0, qd = 0, an = 0, ns = 0, ar = 0;
    if (!r.U16(id) || !r.U16(flags) || !r.U16(qd) || !r.U16(an) || !r.U16(ns) || !r.U16(ar))
        return std::nullopt;
    const bool response = flags & 0x8000;
    const unsigned opcode = (flags >> 11) & 0x0F;
    const unsigned rcode = flags & 0x0F;
    if (id != transactionId || !response || opcode != 0 || rcode != 0 || an == 0)
        return std::nullopt;
    for (unsigned i = 0; i < qd; ++i)
        if (!r.SkipName() || !r.Skip(4))
            return std::nullopt;

    std::uint16_t type = 0, cls = 0, rdLength = 0;
    if (!r.SkipName() || !r.U16(type) || !r.U16(cls) || !r.Skip(4) || !r.U16(rdLength))
        return std::nullopt;
    if (type != TypeNBSTAT || cls != ClassIN || rdLength > r.Left() || rdLength < 1)
        return std::nullopt;

    TReader rdata(r.Here(), rdLength);
    std::uint8_t count = 0;
    rdata.U8(count);
    if (rdata.Left() < size_t(count) * NameEntrySize)
        return std::nullopt;
    TNodeStatus status;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t* e = rdata.Here();
        std::string name(reinterpret_cast<const char*>(e), 15);
        const size_t end = name.find_last_not_of(' ');
        name.resize(end == std::string::npos ? 0 : end + 1);
        status.Names.push_back({name, e[15], std::uint16_t(e[16] << 8 | e[17])});
        rdata.Skip(NameEntrySize);
    }
    if (rdata.Left() >= UnitIdSize) {
        const std::uint8_t* u = rdata.Here();
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02X-%02X-%02X-%02X-%02X-%02X", u[0], u[1], u[2], u[3], u[4], u[5]);
        status.MacAddress = mac;
    }
    return status;
}

std::string FormatNodeStatus(const TNodeStatus& status)
{
    std::string rows;
    for (const TNodeStatusName& n : status.Names) {
        const std::string name = Printable(n.Name);
        if (Misleading(name))
            continue;
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "<%02X>", n.Suffix);
        const char* state = (n.Flags & FlagConflict)     ? "Conflict"
                            : (n.Flags & FlagDeregister) ? "Deregistered"
                                                         : "Registered";
        rows += "    " + Padded(name, 15) + "  " + suffix + "  " +
                Padded((n.Flags & FlagGroup) ? "GROUP" : "UNIQUE", 6) + "  " + state + "\n";
    }
    if (rows.empty() && !status.MacAddress)
        return {};
    std::string out = "\n";
    // Without rows there is no table: the line under the dashes would be
    // taken for the first name.
    if (!rows.empty()) {
        out += "           NetBIOS Remote Machine Name Table\n\n"
               "       Name                 Type      Status\n"
               "    ---------------------------------------------\n";
        out += rows;
        out += "\n";
    }
    if (status.MacAddress)
        out += "    MAC Address = " + *status.MacAddress + "\n";
    out += "\n";
    return out;
}
