#pragma once
// Loading a ranges file: sections "Range 1", "Range 2", ... each with the
// keys "Display Name", "Source IPs", "Dest IPs", "Source Ports" and
// "Dest Ports". The list ends at the first section whose "Display Name" is
// absent or empty. The tray's Start and the tools load through here, so they
// all see the same rules.

#include "platform/IniFiles.h"
#include "ranges/AllowRange.h"

#include <functional>
#include <memory>
#include <string>

// The values of one section as written (absent keys read as empty).
struct TRangeTexts {
    std::string DisplayName;
    std::string SourceIPs;
    std::string DestIPs;
    std::string SourcePorts;
    std::string DestPorts;
};

// "Range " followed by Number in decimal.
std::string RangeSectionName(int Number);

// Reads section "Range <Number>". False when its "Display Name" is absent or
// empty, which ends the list of ranges.
bool ReadRangeTexts(const TIniFile& File, int Number, TRangeTexts& Texts);
bool ReadRangeTexts(const TIniSnapshot& File, int Number, TRangeTexts& Texts);

// The ranges file read once, for ReadRangeTexts. A missing file holds no
// ranges; a file that exists but cannot be read (no permission, a folder, a
// FIFO) raises Exception "Unable to read <file name>: <reason>".
TIniSnapshot ReadRangesFile(const std::string& FileName);

// Called as soon as the rule of range Number has been built; the handler
// takes ownership of Rule.
using TRangeLoaded = std::function<void(int Number, const TRangeTexts& Texts, std::unique_ptr<TAllowRange> Rule)>;

// Builds one rule per section, from "Range 1" on, handing each to OnRange in
// order, and returns how many were built. A rule that cannot be built raises
// its error (EConvertError) out of here; the rules handed over before it stay
// with the caller. A missing file holds no ranges; one that cannot be read
// raises as ReadRangesFile does. With MaxCount 0 or more, sections after
// "Range <MaxCount>" are not read at all.
int LoadRangesFile(const std::string& FileName, const TRangeLoaded& OnRange, int MaxCount = -1);
// The same over a file already read with ReadRangesFile, for callers that
// report an unreadable file apart from a rule that cannot be built.
int LoadRangesFile(const TIniSnapshot& File, const TRangeLoaded& OnRange, int MaxCount = -1);
