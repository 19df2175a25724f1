#include "ranges/RangesFile.h"

#include "platform/IniFiles.h"

std::string RangeSectionName(int Number) { return "Range " + std::to_string(Number); }

bool ReadRangeTexts(const TIniFile& File, int Number, TRangeTexts& Texts)
{
    const std::string section = RangeSectionName(Number);
    Texts.DisplayName = File.ReadString(section, "Display Name", "");
    if (Texts.DisplayName.empty())
        return false;
    Texts.SourceIPs = File.ReadString(section, "Source IPs", "");
    Texts.DestIPs = File.ReadString(section, "Dest IPs", "");
    Texts.SourcePorts = File.ReadString(section, "Source Ports", "");
    Texts.DestPorts = File.ReadString(section, "Dest Ports", "");
    return true;
}

int LoadRangesFile(const std::string& FileName, const TRangeLoaded& OnRange, int MaxCount)
{
    const TIniFile file(FileName);
    int count = 0;
    TRangeTexts texts;
    while ((MaxCount < 0 || count < MaxCount) && ReadRangeTexts(file, count + 1, texts)) {
        auto rule = std::make_unique<TAllowRange>(texts.DisplayName, texts.SourceIPs, texts.DestIPs,
                                                  texts.SourcePorts, texts.DestPorts);
        ++count;
        if (OnRange)
            OnRange(count, texts, std::move(rule));
    }
    return count;
}
