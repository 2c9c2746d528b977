// MAC and IPv4 texts, the AP request body and the AP list row.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "registry/addr.h"
#include "registry/ap_request.h"
#include "tests/registry/trace_capture.h"

namespace {

const std::string kZero = "00:00:00:00:00:00";

TEST(MacAddrTest, TextTable) {
    struct Case {
        std::string text;
        size_t length;    // 0: the whole text, through both overloads
        std::string str;  // empty when invalid
    };
    std::vector<Case> cases = {
        {"00:1A:2b:3C:4d:5E", 0, "00:1a:2b:3c:4d:5e"},
        {"AABBCCddeeff", 0, "aa:bb:cc:dd:ee:ff"},
        {kZero, 0, kZero},
        {"00:1a:2b:3c:4d:5ejunk", 17, "00:1a:2b:3c:4d:5e"},
        {"001a2b3c4d5e and more", 12, "00:1a:2b:3c:4d:5e"},
        {"001a2b3c4d5e", 11, ""},
        {std::string("00:1a\0002b:3c:4d:5e", 17), 17, ""},
    };
    for (const char* bad :
         {"00-11-22-33-44-55", "0011.2233.4455", " 00:11:22:33:44:55", "00:11:22:33:44:5g",
          "00:11:22:33:44-55", "0:011:22:33:44:55", "00112233445g", ""})
        cases.push_back({bad, 0, ""});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<MacAddr> macs{
            MacAddr::from_str(c.text.data(), c.length ? c.length : c.text.size())};
        if (c.length == 0)
            macs.push_back(MacAddr::from_str(c.text.c_str()));
        for (const auto& mac : macs) {
            EXPECT_EQ(mac.valid, !c.str.empty());
            EXPECT_EQ(mac.str(), c.str.empty() ? kZero : c.str);
        }
    }
    EXPECT_FALSE(MacAddr::from_str(nullptr).valid);
    EXPECT_FALSE(MacAddr::from_str(nullptr, 17).valid);
}

TEST(Ipv4AddrTest, TextTable) {
    std::vector<std::pair<const char*, std::string>> cases = {{"192.168.1.10", "192.168.1.10"},
                                                              {"010.0.0.1", "8.0.0.1"},
                                                              {"0x0a.0.0.1", "10.0.0.1"},
                                                              {"1.2.3.4 tail", "1.2.3.4"}};
    for (const char* bad :
         {"192.168.1.256", "fe80::1", "10.0.0.1-2", "1.2.3", "1234", "", "1.1.1.1         "})
        cases.push_back({bad, ""});  // invalid
    for (const auto& [text, str] : cases) {
        const Ipv4Addr addr = Ipv4Addr::from_str(text);
        EXPECT_EQ(addr.valid, !str.empty()) << text;
        EXPECT_EQ(addr.str(), str) << text;
        EXPECT_EQ(addr.octets == decltype(addr.octets){}, str.empty()) << text;
    }
    EXPECT_FALSE(Ipv4Addr::from_str(nullptr).valid);
}

// ---- request bodies ----

using Members = std::map<std::string, std::string>;  // key -> JSON value text

const Members kGood = {{"deviceType", R"("WLAP-200")"},
                       {"swVersion", R"("2.4.1")"},
                       {"hwVersion", R"("rev B")"},
                       {"serial", R"("SN0042")"},
                       {"mac", R"("00:1A:2b:3C:4d:5E")"},
                       {"timeout", "30"},
                       {"error", "7"}};

// kGood with the given members set, or left out where the value is empty.
std::string body(const Members& changes = {}) {
    Members members = kGood;
    for (const auto& [key, value] : changes)
        value.empty() ? (void)members.erase(key) : (void)(members[key] = value);
    std::string out;
    for (const auto& [key, value] : members)
        out += (out.empty() ? "{\"" : ",\"") + key + "\":" + value;
    return out + "}";
}

TEST(ParseJsonApRequestTest, RefusedBodies) {
    const char* missing = "json have no necessary params";
    std::vector<std::pair<std::string, const char*>> cases = {
        {body({{"mac", R"("00-11-22-33-44-55")"}}), "json mac is invalid"}};
    for (const auto& text : {std::string(), body().substr(0, 40), body() + "x",
                             body() + std::string(1, '\0') + "{}", std::string(100000, '[')})
        cases.push_back({text, "json can`t parse buffer"});
    for (const auto& text :
         {"[" + body() + "]", std::string("{}"), body({{"timeout", R"("30")"}}),
          body({{"timeout", "30.0"}}), body({{"timeout", "-1"}}), body({{"timeout", "4294967296"}}),
          body({{"error", R"("7")"}}), body({{"error", "-7"}}), body({{"mac", "1234"}}),
          body({{"deviceType", "{}"}}), body({{"hwVersion", "null"}}),
          body({{"mac", R"("00:1a:2b:3c:4d:5e\u0000")"}}), body({{"serial", R"("\u0000")"}})})
        cases.push_back({text, missing});
    for (const auto& [text, warning] : cases) {
        SCOPED_TRACE(text.substr(0, 120));
        TraceCapture trace;
        EXPECT_EQ(parse_json_ap_request(text), nullptr);
        EXPECT_EQ(trace.texts(TraceCategory::WARN), std::vector<std::string>{warning});
    }
}

TEST(ParseJsonApRequestTest, AcceptedBodies) {
    struct Case {
        std::string body, device, serial, mac;
        uint32_t timeout, error;
    };
    const std::string kSw = "2.4.1", kHw = "rev B";
    const std::string huge(1 << 20, 'x'), D = "WLAP-200", S = "SN0042", mac = "00:1a:2b:3c:4d:5e";
    const std::vector<Case> cases = {
        {body(), D, S, mac, 30, 7},
        {body({{"error", ""}}), D, S, mac, 30, 0},
        {body({{"deviceType", R"("")"}, {"serial", R"("")"}}), "", "", mac, 30, 7},
        {body({{"timeout", "4294967295"}, {"error", "0"}}), D, S, mac, UINT32_MAX, 0},
        {body({{"timeout", "0"}}), D, S, mac, 0, 7},
        {body({{"extra", R"({"a":[1,2]})"}, {"note", "null"}}), D, S, mac, 30, 7},
        {body({{"serial", R"("a\\u0000")"}}), D, "a\\u0000", mac, 30, 7},
        {body({{"deviceType", "\"" + huge + "\""}}), huge, S, mac, 30, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 120));
        TraceCapture trace;
        const auto params = parse_json_ap_request(c.body);
        ASSERT_NE(params, nullptr);
        const auto& p = *params;
        EXPECT_EQ(std::tie(p.device_type, p.sw_version, p.hw_version, p.serial),
                  std::tie(c.device, kSw, kHw, c.serial));
        EXPECT_EQ(std::make_tuple(p.mac.str(), p.timeout, p.error),
                  std::make_tuple(c.mac, c.timeout, c.error));
        EXPECT_TRUE(trace.texts(TraceCategory::WARN).empty());
        const TraceLine* accepted = trace.find("json contain all awaited valid params");
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->mac, params->mac);
    }
}

}  // namespace
