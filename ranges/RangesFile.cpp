#include "ranges/RangesFile.h"

#include "platform/IniFiles.h"
#include "platform/SysUtils.h"

namespace {

const char* const DisplayNameKey = "Display Name";

template <typename TFile>
bool ReadTexts(const TFile& File, int Number, TRangeTexts& Texts)
{
    const std::string section = RangeSectionName(Number);
    Texts.DisplayName = File.ReadString(section, DisplayNameKey, "");
    if (Texts.DisplayName.empty())
        return false;
    Texts.SourceIPs = File.ReadString(section, "Source IPs", "");
    Texts.DestIPs = File.ReadString(section, "Dest IPs", "");
    Texts.SourcePorts = File.ReadString(section, "Source Ports", "");
    Texts.DestPorts = File.ReadString(section, "Dest Ports", "");
    return true;
}

} // namespace

std::string RangeSectionName(int Number) { return "Range " + std::to_string(Number); }

bool ReadRangeTexts(const TIniFile& File, int Number, TRangeTexts& Texts) { return ReadTexts(File, Number, Texts); }

bool ReadRangeTexts(const TIniSnapshot& File, int Number, TRangeTexts& Texts)
{
    return ReadTexts(File, Number, Texts);
}

TIniSnapshot ReadRangesFile(const std::string& FileName)
{
    std::string text, problem;
    if (!ReadIniFileText(FileName, text, problem))
        throw Exception("Unable to read " + FileName + ": " + problem);
    // Only the five keys are kept: a file crowded with others costs nothing more.
    return TIniSnapshot::FromText(text, {DisplayNameKey, "Source IPs", "Dest IPs", "Source Ports", "Dest Ports"});
}

int LoadRangesFile(const std::string& FileName, const TRangeLoaded& OnRange, int MaxCount)
{
    // Read and parsed once: a file of thousands of sections costs one pass,
    // not one pass per key.
    return LoadRangesFile(ReadRangesFile(FileName), OnRange, MaxCount);
}

int LoadRangesFile(const TIniSnapshot& file, const TRangeLoaded& OnRange, int MaxCount)
{
    int count = 0;
    TRangeTexts texts;
    while ((MaxCount < 0 || count < MaxCount) && ReadTexts(file, count + 1, texts)) {
        auto rule = std::make_unique<TAllowRange>(texts.DisplayName, texts.SourceIPs, texts.DestIPs,
                                                  texts.SourcePorts, texts.DestPorts);
        ++count;
        if (OnRange)
            OnRange(count, texts, std::move(rule));
    }
    return count;
}
