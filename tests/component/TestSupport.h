#pragma once
// What the component tests share: an event recorder, rule shortcuts and a
// private scratch folder.

#include "component/VarnoComponent.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct Event {
    std::string Kind;  // TCPUpdate, UDPUpdate, TCPData, UDPData, AddNode, AddRoute, DeleteRoute
    TObject* Sender = nullptr;
    std::string SourceIP, DestIP;
    int PacketAmount = 0, DataAmount = 0, SourcePort = 0, DestPort = 0;
    std::string MatchedRanges;
    std::vector<std::uint8_t> Data;  // the DataLen_ bytes at Data_
    int DataLen = 0;
    const void* Object = nullptr;    // node or route
    // Route totals when the route event was raised.
    std::int64_t RoutePackets = 0, RouteBytes = 0;
};

struct Recorder {
    std::vector<Event> Events;

    // Update, node and route events always; data events when asked for.
    void Attach(TVarno& v, bool DataHandlers = false)
    {
        v.OnTCPNetworkTrafficUpdate = Update("TCPUpdate");
        v.OnUDPNetworkTrafficUpdate = Update("UDPUpdate");
        if (DataHandlers) {
            v.OnTCPNetworkTrafficData = Data("TCPData");
            v.OnUDPNetworkTrafficData = Data("UDPData");
        }
        v.OnAfterAddTerminatingNode = [this](TObject* s, TTerminatingNode* n) {
            Event e = Make("AddNode", s);
            e.SourceIP = n->IPAddress();
            e.Object = n;
            Events.push_back(std::move(e));
        };
        v.OnAfterAddLinkRoute = [this](TObject* s, TLinkRoute* r) { Events.push_back(RouteEvent("AddRoute", s, r)); };
        v.OnBeforeDeleteLinkRoute = [this](TObject* s, TLinkRoute* r) {
            Events.push_back(RouteEvent("DeleteRoute", s, r));
        };
    }

    std::vector<std::string> Kinds() const
    {
        std::vector<std::string> k;
        for (const auto& e : Events)
            k.push_back(e.Kind);
        return k;
    }

    size_t Count(const std::string& kind) const
    {
        size_t n = 0;
        for (const auto& e : Events)
            n += e.Kind == kind;
        return n;
    }

    static Event Make(const char* kind, TObject* sender)
    {
        Event e;
        e.Kind = kind;
        e.Sender = sender;
        return e;
    }

private:
    static Event Traffic(const char* kind, TObject* s, const std::string& src, const std::string& dst, int packets,
                         int bytes, int sport, int dport)
    {
        Event e = Make(kind, s);
        e.SourceIP = src;
        e.DestIP = dst;
        e.PacketAmount = packets;
        e.DataAmount = bytes;
        e.SourcePort = sport;
        e.DestPort = dport;
        return e;
    }

    TOnTrafficUpdate Update(const char* kind)
    {
        return [this, kind](TObject* s, const std::string& src, const std::string& dst, int packets, int bytes,
                            int sport, int dport, const std::string& ranges) {
            Event e = Traffic(kind, s, src, dst, packets, bytes, sport, dport);
            e.MatchedRanges = ranges;
            Events.push_back(std::move(e));
        };
    }
    TOnTrafficData Data(const char* kind)
    {
        return [this, kind](TObject* s, const std::string& src, const std::string& dst, int packets, int bytes,
                            int sport, int dport, const std::uint8_t* data, int len) {
            Event e = Traffic(kind, s, src, dst, packets, bytes, sport, dport);
            e.DataLen = len;
            // Touch every byte handed over: AddressSanitizer checks the bounds.
            if (len > 0)
                e.Data.assign(data, data + len);
            Events.push_back(std::move(e));
        };
    }
    static Event RouteEvent(const char* kind, TObject* s, TLinkRoute* r)
    {
        Event e = Make(kind, s);
        e.Object = r;
        e.SourceIP = r->SourceNode()->IPAddress();
        e.DestIP = r->DestNode()->IPAddress();
        e.RoutePackets = r->TotalPacketAmount();
        e.RouteBytes = r->TotalDataAmount();
        return e;
    }
};

inline std::unique_ptr<TAllowRange> Rule(const std::string& SourceIPs, const std::string& DestIPs,
                                         const std::string& SourcePorts, const std::string& DestPorts)
{
    return std::make_unique<TAllowRange>("rule", SourceIPs, DestIPs, SourcePorts, DestPorts);
}

inline std::unique_ptr<TAllowRange> AnyRule() { return Rule("*ANY*", "*ANY*", "*ANY*", "*ANY*"); }

// A fresh folder under the temporary folder, removed with the object.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "varno-component-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

} // namespace testsupport
