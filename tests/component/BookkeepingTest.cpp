// Hosts and host pairs: event order, the route window through the component's
// ageing, route removal and the node names file.

#include "TestFrames.h"
#include "TestSupport.h"

#include "platform/IniFiles.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <map>
#include <functional>
#include <fstream>
#include <sstream>

namespace {

using namespace testframes;
using namespace testsupport;

constexpr std::uint32_t A = 0x0A000001;  // 10.0.0.1
constexpr std::uint32_t B = 0x0A000002;  // 10.0.0.2
constexpr std::uint32_t C = 0x0A000003;  // 10.0.0.3

Packet Between(std::uint32_t from, std::uint16_t fromPort, std::uint32_t to, std::uint16_t toPort, int payload = 0)
{
    Packet p;
    p.Source = from;
    p.Dest = to;
    p.SourcePort = fromPort;
    p.DestPort = toPort;
    p.PayloadLength = payload;
    return p;
}

class Bookkeeping : public ::testing::Test {
protected:
    void SetUp() override
    {
        // No names file unless a test writes one.
        varno.NodeNamesFile = scratch.File("Nodes.ini");
        varno.AllowRanges.push_back(AnyRule());
        rec.Attach(varno);
    }

    ScratchDir scratch;
    TVarno varno;
    Recorder rec;
};

TEST_F(Bookkeeping, NewHostsThenTheirRouteWithItsFirstPacket)
{
    Feed(varno, Between(A, 1234, B, 80, 20));

    ASSERT_EQ(rec.Kinds(), (std::vector<std::string>{"AddNode", "AddNode", "AddRoute", "TCPUpdate"}));
    EXPECT_EQ(rec.Events[0].SourceIP, "10.0.0.1");
    EXPECT_EQ(rec.Events[1].SourceIP, "10.0.0.2");
    EXPECT_EQ(rec.Events[0].Sender, &varno);
    EXPECT_EQ(rec.Events[2].Sender, &varno);
    EXPECT_EQ(rec.Events[2].RoutePackets, 1) << "the route is announced after its first packet is counted";
    EXPECT_EQ(rec.Events[2].RouteBytes, 60);

    ASSERT_EQ(varno.NodeList().size(), 2u);
    const TTerminatingNode* a = varno.NodeList()[0].get();
    const TTerminatingNode* b = varno.NodeList()[1].get();
    EXPECT_TRUE(a->Changed());
    EXPECT_EQ(a->Stamp(), varno.CurrentStamp());
    EXPECT_EQ(varno.FindTerminatingNode("10.0.0.2"), 1);
    EXPECT_EQ(varno.FindTerminatingNode("10.0.0.02"), -1) << "addresses compare as exact text";
    ASSERT_EQ(varno.RouteList().size(), 1u);
    const TLinkRoute* route = varno.RouteList()[0].get();
    EXPECT_EQ(route->SourceNode(), a);
    EXPECT_EQ(route->DestNode(), b);
    EXPECT_EQ(varno.FindLinkRoute(a, b), 0);
    EXPECT_EQ(varno.FindLinkRoute(b, a), 0);
}

TEST_F(Bookkeeping, RepliesShareTheRouteUnderTheirOwnPortPair)
{
    Feed(varno, Between(A, 1234, B, 80));
    rec.Events.clear();
    Feed(varno, Between(B, 80, A, 1234, 100));

    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"TCPUpdate"}));
    ASSERT_EQ(varno.RouteList().size(), 1u);
    const TLinkRoute& route = *varno.RouteList()[0];
    EXPECT_EQ(route.SourceNode()->IPAddress(), "10.0.0.1") << "the first packet's direction stays";
    ASSERT_EQ(route.Total().Count(), 2);
    EXPECT_EQ(route.Total().Item(0).SourcePort, 1234);
    EXPECT_EQ(route.Total().Item(1).SourcePort, 80);
    EXPECT_EQ(route.Total().Item(1).DestPort, 1234);
    EXPECT_EQ(route.Total().Item(1).DataAmount, 140);
    EXPECT_EQ(route.TotalPacketAmount(), 2);
}

TEST_F(Bookkeeping, PacketToItselfMakesOneNodeAndALoopRoute)
{
    Feed(varno, Between(A, 5000, A, 5001));
    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"AddNode", "AddRoute", "TCPUpdate"}));
    ASSERT_EQ(varno.NodeList().size(), 1u);
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->SourceNode(), varno.NodeList()[0].get());
    EXPECT_EQ(varno.RouteList()[0]->DestNode(), varno.NodeList()[0].get());
}

// Packets find their hosts by address; nodes added by hand must be found the
// same way when their text is the packets' form, and only then.
TEST_F(Bookkeeping, PacketsUseHandAddedNodesWithTheirExactText)
{
    TTerminatingNode* padded = varno.AddTerminatingNode("010.000.000.001");
    TTerminatingNode* plain = varno.AddTerminatingNode("10.0.0.2");
    varno.AddTerminatingNode("10.0.0.2");  // a second node of that address is never found
    rec.Events.clear();

    Feed(varno, Between(A, 1234, B, 80));
    ASSERT_EQ(rec.Kinds(), (std::vector<std::string>{"AddNode", "AddRoute", "TCPUpdate"}));
    EXPECT_EQ(rec.Events[0].SourceIP, "10.0.0.1");
    EXPECT_EQ(rec.Events[2].SourceIP, "10.0.0.1");
    EXPECT_EQ(rec.Events[2].DestIP, "10.0.0.2");
    ASSERT_EQ(varno.NodeList().size(), 4u);
    const TLinkRoute& route = *varno.RouteList()[0];
    EXPECT_NE(route.SourceNode(), padded);
    EXPECT_EQ(route.SourceNode(), varno.NodeList()[3].get());
    EXPECT_EQ(route.DestNode(), plain);
    EXPECT_EQ(varno.FindTerminatingNode("10.0.0.1"), 3);

    // Texts of every length the dotted form can take.
    const std::vector<std::pair<std::uint32_t, std::string>> texts{
        {0x00000000, "0.0.0.0"}, {0xFFFFFFFF, "255.255.255.255"}, {0x0A630964, "10.99.9.100"}};
    for (const auto& [address, text] : texts) {
        rec.Events.clear();
        Feed(varno, Between(address, 1, address, 2));
        ASSERT_FALSE(rec.Events.empty());
        EXPECT_EQ(rec.Events.back().SourceIP, text);
        EXPECT_EQ(rec.Events.back().DestIP, text);
        EXPECT_GE(varno.FindTerminatingNode(text), 0) << text;
    }
}

TEST_F(Bookkeeping, RouteRemovedAtTheFifthAgeingAfterItsLastPacket)
{
    Feed(varno, Between(A, 1234, B, 80));
    Feed(varno, Between(A, 1234, C, 80));
    varno.AgeLinkRoutes();
    Feed(varno, Between(A, 1234, C, 80));  // keeps A-C one period longer
    rec.Events.clear();

    for (int age = 2; age <= 4; ++age)
        varno.AgeLinkRoutes();
    EXPECT_EQ(varno.RouteList().size(), 2u) << "after four ageings both routes are still there";
    EXPECT_TRUE(rec.Events.empty());

    TLinkRoute* ab = varno.RouteList()[0].get();
    varno.OnBeforeDeleteLinkRoute = [&](TObject* sender, TLinkRoute* route) {
        Event e = Recorder::Make("DeleteRoute", sender);
        e.Object = route;
        rec.Events.push_back(e);
        // Still listed and intact during the event.
        EXPECT_EQ(varno.FindLinkRoute(route->SourceNode(), route->DestNode()), 0);
        EXPECT_EQ(route->Slot(TLinkRoute::SlotCount - 1).Count(), 0);
        EXPECT_EQ(route->TotalPacketAmount(), 0);
    };
    varno.AgeLinkRoutes();
    ASSERT_EQ(rec.Kinds(), (std::vector<std::string>{"DeleteRoute"}));
    EXPECT_EQ(rec.Events[0].Object, ab);
    EXPECT_EQ(rec.Events[0].Sender, &varno);
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->DestNode()->IPAddress(), "10.0.0.3");
    EXPECT_EQ(varno.FindLinkRoute(varno.NodeList()[0].get(), varno.NodeList()[1].get()), -1);

    varno.AgeLinkRoutes();
    EXPECT_TRUE(varno.RouteList().empty());
    EXPECT_EQ(varno.NodeList().size(), 3u) << "nodes outlive their routes";

    // The same hosts talk again: a new route, no new node.
    rec.Attach(varno);
    rec.Events.clear();
    Feed(varno, Between(B, 80, A, 1234));
    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"AddRoute", "TCPUpdate"}));
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->SourceNode()->IPAddress(), "10.0.0.2");
}

TEST_F(Bookkeeping, AgeingRemovesManyRoutesInListOrder)
{
    // 300 hosts talk to one server; every third one talks again a period later.
    const std::uint32_t server = 0xC0A80001;
    for (std::uint32_t i = 0; i < 300; ++i)
        Feed(varno, Between(0x0A010000 + i, 1000, server, 80));
    varno.AgeLinkRoutes();
    for (std::uint32_t i = 0; i < 300; i += 3)
        Feed(varno, Between(server, 80, 0x0A010000 + i, 1000));
    for (int age = 2; age <= 4; ++age)
        varno.AgeLinkRoutes();

    // Node LinkRoutes lists that hold a dying route lose it.
    TTerminatingNode* serverNode = varno.NodeList()[1].get();
    for (const auto& r : varno.RouteList())
        serverNode->LinkRoutes().push_back(r.get());

    std::vector<const void*> deleted;
    varno.OnBeforeDeleteLinkRoute = [&](TObject*, TLinkRoute* r) { deleted.push_back(r); };
    std::vector<const void*> expected;
    for (size_t i = varno.RouteList().size(); i-- > 0;)
        if (i % 3 != 0)
            expected.push_back(varno.RouteList()[i].get());
    varno.AgeLinkRoutes();

    EXPECT_EQ(deleted, expected) << "announced from the last route to the first";
    ASSERT_EQ(varno.RouteList().size(), 100u);
    for (size_t i = 0; i < 100; ++i) {
        ASSERT_NE(varno.RouteList()[i], nullptr);
        EXPECT_EQ(varno.RouteList()[i]->SourceNode()->IPAddress(), IPToStr(0x0A010000 + std::uint32_t(3 * i)));
        EXPECT_EQ(varno.FindLinkRoute(varno.RouteList()[i]->SourceNode(), serverNode), int(i));
    }
    EXPECT_EQ(serverNode->LinkRoutes().size(), 100u);
    EXPECT_TRUE(serverNode->Changed());
}

TEST_F(Bookkeeping, HandlerExceptionLeavesTheRestUnagedAndTheListWhole)
{
    Feed(varno, Between(A, 1, B, 2));
    Feed(varno, Between(A, 1, C, 2));
    for (int age = 1; age <= 4; ++age)
        varno.AgeLinkRoutes();
    int calls = 0;
    varno.OnBeforeDeleteLinkRoute = [&](TObject*, TLinkRoute*) {
        if (++calls == 2)
            throw Exception("handler failed");
    };
    EXPECT_THROW(varno.AgeLinkRoutes(), Exception);
    // The last route went; the first raised, stays listed, and is gone next pass.
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->DestNode()->IPAddress(), "10.0.0.2");
    varno.OnBeforeDeleteLinkRoute = nullptr;
    varno.AgeLinkRoutes();
    EXPECT_TRUE(varno.RouteList().empty());
}

TEST_F(Bookkeeping, DeleteLinkRouteAnnouncesAndUnlists)
{
    Feed(varno, Between(A, 1, B, 2));
    Feed(varno, Between(B, 1, C, 2));
    TLinkRoute* first = varno.RouteList()[0].get();
    TTerminatingNode* a = varno.NodeList()[0].get();
    a->LinkRoutes().push_back(first);
    a->SetChanged(false);
    rec.Events.clear();

    varno.DeleteLinkRoute(first);
    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"DeleteRoute"}));
    EXPECT_TRUE(a->LinkRoutes().empty());
    EXPECT_TRUE(a->Changed());
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.FindLinkRoute(a, varno.NodeList()[1].get()), -1);

    // A route the component does not hold is not touched.
    TLinkRoute foreign(a, a);
    varno.DeleteLinkRoute(&foreign);
    EXPECT_EQ(rec.Events.size(), 1u);
}

TEST_F(Bookkeeping, RouteWhoseEndsWereMovedIsStillForgotten)
{
    Feed(varno, Between(A, 1, B, 2));
    Feed(varno, Between(C, 1, C, 2));
    // A user re-points the first route at C; it must not linger in any lookup
    // once it is gone (AddressSanitizer would report the freed route).
    varno.RouteList()[0]->SetDestNode(varno.NodeList()[2].get());
    for (int i = 0; i < 5; ++i)
        varno.AgeLinkRoutes();
    ASSERT_TRUE(varno.RouteList().empty());
    rec.Events.clear();
    Feed(varno, Between(A, 1, B, 2));
    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"AddRoute", "TCPUpdate"}));
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->TotalPacketAmount(), 1);
}

// Many routes made, deleted and remade in a scrambled order: every pair is
// found exactly while its route lives, in both directions.
TEST_F(Bookkeeping, ManyRoutesStayFoundThroughDeletions)
{
    constexpr std::uint32_t Hosts = 60;
    for (std::uint32_t h = 0; h < Hosts; ++h)
        Feed(varno, Between(A + h, 1, A + h, 2));
    std::vector<TTerminatingNode*> nodes;
    for (const auto& n : varno.NodeList())
        nodes.push_back(n.get());
    std::map<std::pair<TTerminatingNode*, TTerminatingNode*>, TLinkRoute*> model;
    for (const auto& r : varno.RouteList())
        model[{r->SourceNode(), r->DestNode()}] = r.get();

    std::mt19937 rng(99);
    for (int step = 0; step < 6000; ++step) {
        TTerminatingNode* x = nodes[rng() % Hosts];
        TTerminatingNode* y = nodes[rng() % Hosts];
        const auto key = std::less<>{}(x, y) ? std::pair{x, y} : std::pair{y, x};
        if (const auto it = model.find(key); it != model.end() && rng() % 2 == 0) {
            varno.DeleteLinkRoute(it->second);
            model.erase(it);
        } else if (it == model.end()) {
            model[key] = varno.AddLinkRoute(x, y);
        }
        if (step % 500 == 0 || step == 5999) {
            ASSERT_EQ(varno.RouteList().size(), model.size());
            for (TTerminatingNode* p : nodes)
                for (TTerminatingNode* q : nodes) {
                    const auto k = std::less<>{}(p, q) ? std::pair{p, q} : std::pair{q, p};
                    const auto it = model.find(k);
                    const int found = varno.FindLinkRoute(p, q);
                    if (it == model.end()) {
                        ASSERT_EQ(found, -1) << "step " << step;
                    } else {
                        ASSERT_GE(found, 0) << "step " << step;
                        ASSERT_EQ(varno.RouteList()[std::size_t(found)].get(), it->second) << "step " << step;
                    }
                }
        }
    }
}

TEST_F(Bookkeeping, UnmatchedPacketsAndDataEventsLeaveNoHosts)
{
    varno.AllowRanges.clear();
    varno.AllowRanges.push_back(Rule("*ANY*", "*ANY*", "*ANY*", "443"));
    Feed(varno, Between(A, 1234, B, 80));
    EXPECT_TRUE(varno.NodeList().empty());
    EXPECT_TRUE(rec.Events.empty());
}

// --- Node names file ---

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(Bookkeeping, NodeNamesAreReadForNewNodes)
{
    // The source file lives under tests/component/data; the test works on a copy.
    std::filesystem::copy_file(VARNO_SOURCE_DIR "/tests/component/data/Nodes.ini", varno.NodeNamesFile);
    Feed(varno, Between(A, 1, B, 2));
    Feed(varno, Between(C, 1, A, 2));

    ASSERT_EQ(varno.NodeList().size(), 3u);
    const TTerminatingNode& a = *varno.NodeList()[0];
    EXPECT_EQ(a.CustomName(), "Printer by the door");
    EXPECT_EQ(a.IPName(), "printer.example.org");
    EXPECT_EQ(a.UNCName(), "PRINTER");
    EXPECT_EQ(a.MacAddress(), "00-1B-21-3C-4D-5E");
    const TTerminatingNode& b = *varno.NodeList()[1];
    EXPECT_EQ(b.CustomName(), "");
    EXPECT_EQ(b.IPName(), "files.example.org");
    EXPECT_EQ(b.UNCName(), "") << "a missing key leaves the name empty";
    const TTerminatingNode& c = *varno.NodeList()[2];
    EXPECT_EQ(c.CustomName(), "") << "10.0.0.30's section is not 10.0.0.3's";
    EXPECT_EQ(c.IPName(), "");
}

TEST_F(Bookkeeping, NodeNamesFileUntouchedWhenNamesAreOff)
{
    std::filesystem::copy_file(VARNO_SOURCE_DIR "/tests/component/data/Nodes.ini", varno.NodeNamesFile);
    const std::string before = ReadFile(varno.NodeNamesFile);
    varno.LoadAndSaveIPNames = false;
    Feed(varno, Between(A, 1, B, 2));
    ASSERT_EQ(varno.NodeList().size(), 2u);
    EXPECT_EQ(varno.NodeList()[0]->CustomName(), "");
    EXPECT_EQ(varno.NodeList()[0]->IPName(), "");
    for (int i = 0; i < 5; ++i)
        varno.AgeLinkRoutes();
    EXPECT_EQ(ReadFile(varno.NodeNamesFile), before);
}

TEST_F(Bookkeeping, ReadingNeverCreatesTheNamesFile)
{
    for (std::uint32_t i = 0; i < 10; ++i)
        Feed(varno, Between(A + i, 1, B + i, 2));
    for (int i = 0; i < 5; ++i)
        varno.AgeLinkRoutes();
    EXPECT_EQ(varno.NodeList().size(), 11u);
    EXPECT_FALSE(std::filesystem::exists(varno.NodeNamesFile));
}

// New nodes read the names file as it is when they appear: created, changed
// in place or replaced, removed, or another file named.
TEST_F(Bookkeeping, NodeNamesFollowTheFileAsItChanges)
{
    const std::string other = scratch.File("Other.ini");
    WriteFile(other, "[10.0.0.6]\nIP Name=from-other\n");
    struct Step {
        const char* What;
        std::function<void()> Change;
        const char* Expected;  // IP Name of the next new node
    };
    const std::vector<Step> steps{
        {"no file yet", [] {}, ""},
        {"created", [&] { WriteFile(varno.NodeNamesFile, "[10.0.0.2]\nIP Name=two\n"); }, "two"},
        {"rewritten in place", [&] { WriteFile(varno.NodeNamesFile, "[10.0.0.3]\nIP Name=three!\n"); }, "three!"},
        {"written by the component's writer",
         [&] { TIniFile(varno.NodeNamesFile).WriteString("10.0.0.4", "IP Name", "four"); }, "four"},
        {"removed", [&] { std::filesystem::remove(varno.NodeNamesFile); }, ""},
        {"another file named", [&] { varno.NodeNamesFile = other; }, "from-other"},
    };
    std::uint32_t host = A;
    for (const Step& step : steps) {
        step.Change();
        Feed(varno, Between(host, 1, host, 2));
        ASSERT_EQ(varno.NodeList().size(), std::size_t(host - A + 1)) << step.What;
        EXPECT_EQ(varno.NodeList().back()->IPName(), step.Expected) << step.What;
        ++host;
    }
}

// Names are read by the same rules as TIniFile reads them, however odd the file.
TEST_F(Bookkeeping, NodeNamesReadAsTheIniReaderReadsThem)
{
    const std::string longValue(3000, 'v');
    const std::vector<std::string> files{
        "[10.0.0.1]\r\nIP Name=crlf\r\nUNC Name = \"quoted\" \r\n",
        "IP Name=before any section\n[10.0.0.1]\nip name=lower key\nIP NAME=second of the key\n",
        "[10.0.0.9]\nIP Name=x\n[ 10.0.0.1 ]\nCustom Name='single'\n[10.0.0.1]\nIP Name=second section\n",
        "[10.0.0.1\nIP Name=no bracket\n[10.0.0.1]junk\n;IP Name=comment\nUNC Name\nMacAddress==eq\n",
        "[10.0.0.1]\nIP Name=" + longValue + "\nCustom Name=\"unbalanced'\n\n\nUNC Name=  \n",
        "[other]\n[10.0.0.1]\n[10.0.0.1]\nIP Name=after an empty first section\n",
        std::string("[10.0.0.1]\nIP Name=a\0b\nMacAddress=end-without-newline", 53),
    };
    const char* keys[] = {"Custom Name", "IP Name", "UNC Name", "MacAddress"};
    for (std::size_t i = 0; i < files.size(); ++i) {
        WriteFile(varno.NodeNamesFile, files[i]);
        TVarno fresh;
        fresh.NodeNamesFile = varno.NodeNamesFile;
        TTerminatingNode* node = fresh.AddTerminatingNode("10.0.0.1");
        const std::string got[] = {node->CustomName(), node->IPName(), node->UNCName(), node->MacAddress()};
        const TIniFile ini(varno.NodeNamesFile);
        for (std::size_t k = 0; k < 4; ++k)
            EXPECT_EQ(got[k], ini.ReadString("10.0.0.1", keys[k], "")) << "file " << i << ", " << keys[k];
    }
}

TEST_F(Bookkeeping, SaveNodeNamesWritesTheFourKeysInOrder)
{
    WriteFile(varno.NodeNamesFile, "[10.0.0.9]\r\nIP Name=other\r\n");
    Feed(varno, Between(A, 1, B, 2));
    TTerminatingNode* a = varno.NodeList()[0].get();
    a->SetIPName("host-a");
    a->SetMacAddress("02-00-00-00-00-01");
    varno.SaveNodeNames(a);

    EXPECT_EQ(ReadFile(varno.NodeNamesFile), "[10.0.0.9]\r\nIP Name=other\r\n\r\n"
                                             "[10.0.0.1]\r\nCustom Name=\r\nIP Name=host-a\r\nUNC Name=\r\n"
                                             "MacAddress=02-00-00-00-00-01\r\n");
    // A later component reads them back for the same address.
    TVarno again;
    again.NodeNamesFile = varno.NodeNamesFile;
    again.AllowRanges.push_back(AnyRule());
    Feed(again, Between(A, 1, B, 2));
    EXPECT_EQ(again.NodeList()[0]->IPName(), "host-a");
    EXPECT_EQ(again.NodeList()[0]->MacAddress(), "02-00-00-00-00-01");
}

TEST_F(Bookkeeping, SaveNodeNamesReportsAnUnwritableFile)
{
    varno.NodeNamesFile = scratch.File("missing-folder/Nodes.ini");
    Feed(varno, Between(A, 1, B, 2));
    try {
        varno.SaveNodeNames(varno.NodeList()[0].get());
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + varno.NodeNamesFile);
    }
}

TEST(BookkeepingDefaults, NamesFileLiesBesideTheExecutable)
{
    TVarno varno;
    EXPECT_EQ(varno.NodeNamesFile, ExeDir() + "Nodes.ini");
}

} // namespace
