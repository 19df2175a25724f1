#include "ranges/AllowRangeTable.h"

#include "ranges/AddressKeys.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// Room set aside at construction. Ranges files hold up to 71 rules of a few
// items each, far inside these bounds.
constexpr std::size_t MaxRules = 64 * TAllowRangeTable::MaxWords;
constexpr std::size_t MaxSpans = 512;                           // per field, all rules together
constexpr std::size_t MaxCuts = 2 * MaxSpans + 1;               // interval starts per field
constexpr std::size_t MaxSetWords = 2048;                       // intervals times words, per field

constexpr std::uint32_t FieldMax = std::numeric_limits<std::uint32_t>::max();

} // namespace

TAllowRangeTable::TAllowRangeTable()
{
    for (TField* field : {&FSource, &FDest, &FSourcePort, &FDestPort}) {
        field->Starts.reserve(MaxCuts);
        field->Sets.reserve(MaxSetWords);
        field->Top.reserve(TField::TopSize);
    }
    // Addresses by their /16, ports one by one.
    FSource.Shift = FDest.Shift = 16;
    FSourcePort.Shift = FDestPort.Shift = 0;
    FResult.reserve(TAllowRangeTable::MaxWords);
    FRules.reserve(MaxRules);
    FSpans.reserve(MaxSpans);
    FSpanEnds.reserve(MaxRules);
    FCuts.reserve(MaxCuts);
}

bool TAllowRangeTable::Rebuild(const std::vector<std::unique_ptr<TAllowRange>>& Ranges)
{
    ++FBuilds;
    const std::size_t count = Ranges.size();
    const std::uint64_t generation = TAllowRange::Generation();
    FGeneration = generation;
    FRulesValid = count <= MaxRules;
    FRules.clear();
    if (FRulesValid)
        for (const auto& rule : Ranges)
            FRules.push_back(rule.get());
    FBuilt = FRulesValid && Build(Ranges);
    if (!FBuilt) {
        FWords = 0;
        for (TField* field : {&FSource, &FDest, &FSourcePort, &FDestPort}) {
            field->Starts.clear();
            field->Sets.clear();
            field->Top.clear();
        }
    }
    return FBuilt;
}

bool TAllowRangeTable::Build(const std::vector<std::unique_ptr<TAllowRange>>& Ranges)
{
    for (const auto& rule : Ranges)
        if (!rule)
            return false;
    FWords = std::max<std::size_t>(1, (Ranges.size() + WordBits - 1) / WordBits);
    FResult.assign(FWords, 0);

    const auto addressSpans = [this](const TAllowRange::TAddressList& list) {
        if (list.Any) {
            FSpans.push_back({0, FieldMax});
            return true;
        }
        for (const TAllowRange::TAddressItem& item : list.Items) {
            // The addresses whose keys lie in the item's key interval.
            std::uint32_t low, high;
            if (item.First > item.Last || !AddressKeys::FirstAddressNotBelow(item.First, low) ||
                !AddressKeys::LastAddressNotAbove(item.Last, high) || low > high)
                continue;
            if (FSpans.size() == MaxSpans)
                return false;
            FSpans.push_back({low, high});
        }
        return true;
    };
    const auto portSpans = [this](const TAllowRange::TPortList& list) {
        if (list.Any) {
            FSpans.push_back({0, FieldMax});
            return true;
        }
        for (const TAllowRange::TPortItem& item : list.Items) {
            // Negative ports never come from packets.
            if (item.Upper < 0 || item.Lower > item.Upper)
                continue;
            if (FSpans.size() == MaxSpans)
                return false;
            FSpans.push_back({std::uint32_t(std::max(item.Lower, 0)), std::uint32_t(item.Upper)});
        }
        return true;
    };

    return BuildField(FSource, Ranges, [&](const TAllowRange& r) { return addressSpans(r.FSourceList); }) &&
           BuildField(FDest, Ranges, [&](const TAllowRange& r) { return addressSpans(r.FDestList); }) &&
           BuildField(FSourcePort, Ranges, [&](const TAllowRange& r) { return portSpans(r.FSourcePortList); }) &&
           BuildField(FDestPort, Ranges, [&](const TAllowRange& r) { return portSpans(r.FDestPortList); });
}

template <class SpansOf>
bool TAllowRangeTable::BuildField(TField& Field, const std::vector<std::unique_ptr<TAllowRange>>& Ranges,
                                  SpansOf spansOf)
{
    FSpans.clear();
    FSpanEnds.clear();
    for (const auto& rule : Ranges) {
        // An Any list adds one span even at the limit: leave room for it.
        if (FSpans.size() >= MaxSpans || !spansOf(*rule))
            return false;
        FSpanEnds.push_back(FSpans.size());
    }

    // Every span starts an interval and ends one, so no rule changes its
    // answer inside an interval.
    FCuts.clear();
    FCuts.push_back(0);
    for (const TSpan& span : FSpans) {
        FCuts.push_back(span.Low);
        if (span.High < FieldMax)
            FCuts.push_back(span.High + 1);
    }
    std::sort(FCuts.begin(), FCuts.end());
    FCuts.erase(std::unique(FCuts.begin(), FCuts.end()), FCuts.end());
    if (FCuts.size() * FWords > MaxSetWords)
        return false;

    static_assert(MaxCuts < TField::Mixed);
    Field.Top.assign(TField::TopSize, TField::Mixed);
    for (std::size_t block = 0, k = 0; block < TField::TopSize; ++block) {
        const std::uint64_t first = std::uint64_t(block) << Field.Shift;
        const std::uint64_t last = first + (std::uint64_t(1) << Field.Shift) - 1;
        while (k + 1 < FCuts.size() && FCuts[k + 1] <= first)
            ++k;
        if (k + 1 == FCuts.size() || FCuts[k + 1] > last)
            Field.Top[block] = std::uint16_t(k);
    }
    Field.Starts.assign(FCuts.begin(), FCuts.end());
    Field.Sets.assign(FCuts.size() * FWords, 0);
    for (std::size_t k = 0; k < FCuts.size(); ++k) {
        const std::uint32_t value = FCuts[k];
        TWord* set = Field.Sets.data() + k * FWords;
        std::size_t begin = 0;
        for (std::size_t r = 0; r < Ranges.size(); ++r) {
            const std::size_t end = FSpanEnds[r];
            for (std::size_t i = begin; i < end; ++i) {
                if (FSpans[i].Low <= value && value <= FSpans[i].High) {
                    set[r / WordBits] |= TWord(1) << (r % WordBits);
                    break;
                }
            }
            begin = end;
        }
    }
    return true;
}
