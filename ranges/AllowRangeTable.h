#pragma once
// All the rules of a ranges list answered at once for a packet. Each of the
// four packet fields is cut into intervals on which every rule gives the same
// answer for that field; each interval holds the set of rules it satisfies as
// a bit set. A packet costs four interval look-ups and an AND of the sets,
// however many rules there are, and the answer for every rule is the one its
// own Matches gives.
//
// The table follows the list it was built from: Update rebuilds it when the
// list holds other rules than last time. Storage is set aside at construction,
// so building and answering never allocate; a list too large for it is
// refused, and the caller asks each rule instead.

#include "ranges/AllowRange.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class TAllowRangeTable {
public:
    using TWord = std::uint64_t;
    static constexpr std::size_t WordBits = 64;

    TAllowRangeTable();

    // Makes the table stand for Ranges (rule i is bit i). False when the list
    // is too large for the table; then the table stands for nothing.
    bool Update(const std::vector<std::unique_ptr<TAllowRange>>& Ranges)
    {
        return Follows(Ranges) ? FBuilt : Rebuild(Ranges);
    }

    // Changes whenever the table is built again: answers kept from before
    // hold while it stays the same.
    std::uint64_t Builds() const { return FBuilds; }

    // Words of the last Match: bit i of word i / 64 is rule i. At most
    // MaxWords.
    std::size_t WordCount() const { return FWords; }
    static constexpr std::size_t MaxWords = 2;

    // The rules that match the packet (host-order addresses, ports 0-65535),
    // as WordCount() words; valid until the next Match or Update.
    const TWord* Match(std::uint32_t SourceAddr, std::uint32_t DestAddr, int SourcePort, int DestPort)
    {
        const TWord* s = FSource.Find(SourceAddr, FWords);
        const TWord* d = FDest.Find(DestAddr, FWords);
        const TWord* sp = FSourcePort.Find(std::uint32_t(SourcePort), FWords);
        const TWord* dp = FDestPort.Find(std::uint32_t(DestPort), FWords);
        for (std::size_t w = 0; w < FWords; ++w)
            FResult[w] = s[w] & d[w] & sp[w] & dp[w];
        return FResult.data();
    }

private:
    // One packet field: interval starts in ascending order (the first is 0)
    // and each interval's rule set.
    struct TField {
        std::vector<std::uint32_t> Starts;
        std::vector<TWord> Sets;
        // A first look by the value's leading bits: Value >> Shift, when
        // below TopSize, picks the interval of its whole block directly, or
        // says Mixed when the block holds more than one interval.
        static constexpr std::size_t TopSize = 65536;
        static constexpr std::uint16_t Mixed = 0xFFFF;
        unsigned Shift = 0;
        std::vector<std::uint16_t> Top;

        const TWord* Find(std::uint32_t Value, std::size_t Words) const
        {
            const std::uint32_t block = Value >> Shift;
            if (block < TopSize) {
                const std::uint16_t interval = Top[block];
                if (interval != Mixed)
                    return Sets.data() + std::size_t(interval) * Words;
            }
            // The last start at or below Value.
            const std::uint32_t* base = Starts.data();
            std::size_t count = Starts.size();
            // Without branches: packets come in no order a predictor could learn.
            while (count > 1) {
                const std::size_t half = count / 2;
                base = base[half] <= Value ? base + half : base;
                count -= half;
            }
            return Sets.data() + std::size_t(base - Starts.data()) * Words;
        }
    };

    // An inclusive interval of field values.
    struct TSpan {
        std::uint32_t Low;
        std::uint32_t High;
    };

    // True when Ranges holds the very rules the table was last made for.
    bool Follows(const std::vector<std::unique_ptr<TAllowRange>>& Ranges) const
    {
        // The rules' addresses are compared as the bytes of the owning pointers.
        static_assert(sizeof(std::unique_ptr<TAllowRange>) == sizeof(const TAllowRange*));
        const std::size_t count = Ranges.size();
        return FRulesValid && FGeneration == TAllowRange::Generation() && FRules.size() == count &&
               (count == 0 || std::memcmp(static_cast<const void*>(Ranges.data()), FRules.data(),
                                          count * sizeof(const TAllowRange*)) == 0);
    }
    bool Rebuild(const std::vector<std::unique_ptr<TAllowRange>>& Ranges);
    bool Build(const std::vector<std::unique_ptr<TAllowRange>>& Ranges);
    // The values of one field that each rule accepts, as spans; false when
    // they do not fit the storage.
    template <class SpansOf>
    bool BuildField(TField& Field, const std::vector<std::unique_ptr<TAllowRange>>& Ranges, SpansOf spansOf);

    std::size_t FWords = 0;
    std::uint64_t FBuilds = 0;
    TField FSource, FDest, FSourcePort, FDestPort;
    std::vector<TWord> FResult;

    // What the table was built from: the rules' addresses and the count of
    // rules ever made then, so that a new rule at a freed address is noticed.
    // FRulesValid: FRules and FGeneration say which list the table saw.
    // FBuilt: the table answers for that list.
    bool FRulesValid = false;
    bool FBuilt = false;
    std::vector<const TAllowRange*> FRules;
    std::uint64_t FGeneration = 0;

    // Scratch for building.
    std::vector<TSpan> FSpans;
    std::vector<std::size_t> FSpanEnds;
    std::vector<std::uint32_t> FCuts;
};
