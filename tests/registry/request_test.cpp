// MAC and IPv4 texts, the AP request body and the AP list row.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "registry/addr.h"
#include "registry/ap_request.h"
#include "tests/registry/trace_capture.h"

namespace {

using Octets = std::array<unsigned char, 6>;

struct MacCase {
    const char* text;
    bool valid;
    Octets octets;  // all zero when invalid
};

const Octets kSample{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

const std::vector<MacCase> kMacCases = {
    {"00:1A:2b:3C:4d:5E", true, kSample},
    {"001a2b3c4d5e", true, kSample},
    {"AABBCCDDEEFF", true, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}},
    {"ff:ff:ff:ff:ff:ff", true, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    {"00:00:00:00:00:00", true, {}},
    {"00-11-22-33-44-55", false, {}},
    {"0011.2233.4455", false, {}},
    {" 00:11:22:33:44:55", false, {}},
    {"00:11:22:33:44:5", false, {}},
    {"00:11:22:33:44:55:", false, {}},
    {"00:11:22:33:44:5g", false, {}},
    {"00:11:22:33:44-55", false, {}},
    {"0:011:22:33:44:55", false, {}},
    {"00112233445g", false, {}},
    {"0011223344556", false, {}},
    {"", false, {}},
};

TEST(MacAddrTest, TextTable) {
    for (const auto& c : kMacCases) {
        SCOPED_TRACE(c.text);
        const MacAddr mac = MacAddr::from_str(c.text);
        EXPECT_EQ(mac.valid, c.valid);
        EXPECT_EQ(mac.octets, c.octets);
        if (c.valid) {
            char expected[18];
            std::snprintf(expected, sizeof expected, "%02x:%02x:%02x:%02x:%02x:%02x", c.octets[0],
                          c.octets[1], c.octets[2], c.octets[3], c.octets[4], c.octets[5]);
            EXPECT_EQ(mac.str(), expected);
        }
        // The length overload reads exactly the given characters.
        const MacAddr same = MacAddr::from_str(c.text, std::strlen(c.text));
        EXPECT_EQ(same.valid, mac.valid);
        EXPECT_EQ(same.octets, mac.octets);
    }
}

TEST(MacAddrTest, LengthOverloadLooksOnlyAtItsCharacters) {
    struct Case {
        std::string text;
        size_t length;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"00:1a:2b:3c:4d:5ejunk", 17, true},
        {"001a2b3c4d5e and more", 12, true},
        {"001a2b3c4d5e", 11, false},
        {std::string("00:1a\0002b:3c:4d:5e", 17), 17, false},
        {std::string("001a2b\0003c4d5", 12), 12, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const MacAddr mac = MacAddr::from_str(c.text.data(), c.length);
        EXPECT_EQ(mac.valid, c.valid);
        EXPECT_EQ(mac.octets, c.valid ? kSample : Octets{});
    }
    EXPECT_FALSE(MacAddr::from_str(nullptr).valid);
    EXPECT_FALSE(MacAddr::from_str(nullptr, 17).valid);
}

TEST(MacAddrTest, IdentityIsTheOctets) {
    MacAddr invalid;
    const MacAddr zero = MacAddr::from_str("00:00:00:00:00:00");
    ASSERT_TRUE(zero.valid);
    EXPECT_EQ(invalid, zero);
    EXPECT_EQ(std::hash<MacAddr>{}(invalid), std::hash<MacAddr>{}(zero));
    EXPECT_EQ(std::hash<MacAddr>{}(MacAddr::from_str("00:00:00:00:00:9c")), 0x9cu);

    // Byte order of a memcmp: first octet first, octets unsigned.
    const std::vector<std::pair<const char*, const char*>> ascending = {
        {"00:00:00:00:00:01", "00:00:00:00:01:00"},
        {"00:ff:ff:ff:ff:ff", "01:00:00:00:00:00"},
        {"7f:ff:ff:ff:ff:ff", "80:00:00:00:00:00"},
    };
    for (const auto& [low, high] : ascending) {
        SCOPED_TRACE(low);
        EXPECT_LT(MacAddr::from_str(low), MacAddr::from_str(high));
        EXPECT_GT(MacAddr::from_str(high), MacAddr::from_str(low));
    }
}

TEST(Ipv4AddrTest, TextTable) {
    struct Case {
        const char* text;
        bool valid;
        std::array<unsigned char, 4> octets;
    };
    const std::vector<Case> cases = {
        {"192.168.1.10", true, {192, 168, 1, 10}},
        {"255.255.255.255", true, {255, 255, 255, 255}},
        {"010.0.0.1", true, {8, 0, 0, 1}},
        {"0x0a.0.0.1", true, {10, 0, 0, 1}},
        {"1.2.3.4 tail", true, {1, 2, 3, 4}},
        {"192.168.1.256", false, {}},
        {"fe80::1", false, {}},
        {"10.0.0.1-2", false, {}},
        {"1.2.3", false, {}},
        {"1234", false, {}},
        {"", false, {}},
        {"192.168.100.1000", false, {}},
        {"1.1.1.1         ", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Ipv4Addr addr = Ipv4Addr::from_str(c.text);
        EXPECT_EQ(addr.valid, c.valid);
        EXPECT_EQ(addr.octets, c.octets);
    }
    EXPECT_FALSE(Ipv4Addr::from_str(nullptr).valid);
}

// ---- request bodies ----

using Members = std::map<std::string, std::string>;  // key -> JSON value text

const Members kGood = {
    {"deviceType", R"("WLAP-200")"},
    {"swVersion", R"("2.4.1")"},
    {"hwVersion", R"("rev B")"},
    {"serial", R"("SN0042")"},
    {"mac", R"("00:1A:2b:3C:4d:5E")"},
    {"timeout", "30"},
    {"error", "7"},
};

std::string body_of(const Members& members) {
    std::string body = "{";
    for (const auto& [key, value] : members) {
        if (body.size() > 1)
            body += ",";
        body += "\"" + key + "\":" + value;
    }
    return body + "}";
}

Members with(Members members, const std::string& key, const std::string& value) {
    members[key] = value;
    return members;
}

Members without(Members members, const std::string& key) {
    members.erase(key);
    return members;
}

constexpr const char* kNotJson = "json can`t parse buffer";
constexpr const char* kMissing = "json have no necessary params";
constexpr const char* kBadMac = "json mac is invalid";
constexpr const char* kAccepted = "json contain all awaited valid params";

struct RefusedCase {
    std::string name;
    std::string body;
    const char* warning;
};

std::vector<RefusedCase> refused_cases() {
    std::vector<RefusedCase> cases = {
        {"empty", "", kNotJson},
        {"garbage", "mac=00:11:22:33:44:55", kNotJson},
        {"truncated", body_of(kGood).substr(0, 40), kNotJson},
        {"trailing garbage", body_of(kGood) + "x", kNotJson},
        {"raw NUL inside", body_of(kGood) + std::string(1, '\0') + "{}", kNotJson},
        {"too deep", std::string(100000, '['), kNotJson},
        {"array", "[" + body_of(kGood) + "]", kMissing},
        {"number", "42", kMissing},
        {"string", R"("deviceType")", kMissing},
        {"null", "null", kMissing},
        {"empty object", "{}", kMissing},
    };
    for (const char* key : {"deviceType", "swVersion", "hwVersion", "serial", "mac", "timeout"}) {
        cases.push_back({std::string("without ") + key, body_of(without(kGood, key)), kMissing});
    }
    const std::vector<std::pair<std::string, std::string>> wrong_types = {
        {"timeout", R"("30")"},
        {"timeout", "30.0"},
        {"timeout", "-1"},
        {"timeout", "4294967296"},
        {"timeout", "true"},
        {"timeout", "null"},
        {"timeout", "[30]"},
        {"error", R"("7")"},
        {"error", "-7"},
        {"error", "1e3"},
        {"error", "9223372036854775807"},
        {"mac", "1234"},
        {"mac", R"(["00:1a:2b:3c:4d:5e"])"},
        {"deviceType", "{}"},
        {"swVersion", "[]"},
        {"hwVersion", "null"},
        {"serial", "5"},
        {"serial", "false"},
        {"mac", R"("00:1a:2b:3c:4d:5e\u0000")"},
        {"deviceType", R"("WLAP\u0000-200")"},
        {"serial", R"("\u0000")"},
    };
    for (const auto& [key, value] : wrong_types) {
        cases.push_back({key + " = " + value, body_of(with(kGood, key, value)), kMissing});
    }
    for (const char* mac :
         {R"("00-11-22-33-44-55")", R"("0011.2233.4455")", R"(" 00:11:22:33:44:55")",
          R"("00:11:22:33:44:5")", R"("00:11:22:33:44:55:")", R"("")", R"("zz:11:22:33:44:55")"}) {
        cases.push_back({std::string("mac ") + mac, body_of(with(kGood, "mac", mac)), kBadMac});
    }
    return cases;
}

TEST(ParseJsonApRequestTest, RefusedBodies) {
    for (const auto& c : refused_cases()) {
        SCOPED_TRACE(c.name);
        TraceCapture trace;
        EXPECT_EQ(parse_json_ap_request(c.body), nullptr);
        EXPECT_EQ(trace.texts(TraceCategory::WARN), std::vector<std::string>{c.warning});
        EXPECT_EQ(trace.find(kAccepted), nullptr);
        ASSERT_FALSE(trace.lines.empty());
        EXPECT_EQ(trace.lines[0].category, TraceCategory::AP);
        EXPECT_EQ(trace.lines[0].text, "parsing json:");
    }
}

// A JSON string value as the service should read it.
std::string unquoted(const std::string& json_string) {
    EXPECT_GE(json_string.size(), 2u);
    std::string out;
    for (size_t i = 1; i + 1 < json_string.size(); ++i) {
        if (json_string[i] == '\\')
            ++i;  // only \\ and \" are used below
        out += json_string[i];
    }
    return out;
}

TEST(ParseJsonApRequestTest, AcceptedBodies) {
    struct Case {
        std::string name;
        Members members;
        const char* mac_text;  // printed form of the declared MAC
    };
    const std::string huge = "\"" + std::string(1 << 20, 'x') + "\"";
    const std::vector<Case> cases = {
        {"all members", kGood, "00:1a:2b:3c:4d:5e"},
        {"without error", without(kGood, "error"), "00:1a:2b:3c:4d:5e"},
        {"bare mac", with(kGood, "mac", R"("AABBCCDDEEFF")"), "aa:bb:cc:dd:ee:ff"},
        {"empty texts",
         with(with(with(with(kGood, "deviceType", R"("")"), "swVersion", R"("")"), "hwVersion",
                   R"("")"),
              "serial", R"("")"),
         "00:1a:2b:3c:4d:5e"},
        {"extremes", with(with(kGood, "timeout", "4294967295"), "error", "0"), "00:1a:2b:3c:4d:5e"},
        {"zero timeout", with(kGood, "timeout", "0"), "00:1a:2b:3c:4d:5e"},
        {"other members", with(with(kGood, "extra", R"({"a":[1,2]})"), "note", "null"),
         "00:1a:2b:3c:4d:5e"},
        {"escaped backslash before u0000", with(kGood, "serial", R"("a\\u0000")"),
         "00:1a:2b:3c:4d:5e"},
        {"huge text", with(kGood, "hwVersion", huge), "00:1a:2b:3c:4d:5e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace;
        const auto params = parse_json_ap_request(body_of(c.members));
        ASSERT_NE(params, nullptr);
        EXPECT_EQ(params->device_type, unquoted(c.members.at("deviceType")));
        EXPECT_EQ(params->sw_version, unquoted(c.members.at("swVersion")));
        EXPECT_EQ(params->hw_version, unquoted(c.members.at("hwVersion")));
        EXPECT_EQ(params->serial, unquoted(c.members.at("serial")));
        EXPECT_TRUE(params->mac.valid);
        EXPECT_EQ(params->mac.str(), c.mac_text);
        EXPECT_EQ(params->timeout, std::stoul(c.members.at("timeout")));
        const auto error = c.members.find("error");
        EXPECT_EQ(params->error, error == c.members.end() ? 0 : std::stoul(error->second));

        EXPECT_TRUE(trace.texts(TraceCategory::WARN).empty());
        const TraceLine* accepted = trace.find(kAccepted);
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->category, TraceCategory::AP);
        EXPECT_EQ(accepted->mac, params->mac);
    }
}

TEST(MakeApInfoTest, FillsTheRowFromAddressAndRecord) {
    ApRequestParams params;
    params.device_type = "WLAP-200";
    params.sw_version = "2.4.1";
    params.hw_version = "rev B";
    params.serial = "SN0042";
    params.mac = MacAddr::from_str("00:1a:2b:3c:4d:5e");

    struct Case {
        std::string ip;
        bool ip_valid;
        std::array<unsigned char, 4> octets;
        SaApState state;
    };
    const std::vector<Case> cases = {
        {"10.1.2.3", true, {10, 1, 2, 3}, SaApState::JOINED},
        {"not an address", false, {}, SaApState::WAITING_AUTH},
        {"", false, {}, SaApState::UNKNOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ip);
        const SaApsInfo::ApInfo info = make_ap_info(c.ip, params, c.state);
        EXPECT_EQ(info.mac, params.mac);
        EXPECT_EQ(info.ip.valid, c.ip_valid);
        EXPECT_EQ(info.ip.octets, c.octets);
        EXPECT_EQ(info.device_type, params.device_type);
        EXPECT_EQ(info.sw_version, params.sw_version);
        EXPECT_EQ(info.hw_version, params.hw_version);
        EXPECT_EQ(info.serial, params.serial);
        EXPECT_EQ(info.state, static_cast<uint32_t>(c.state));
    }
}

}  // namespace
