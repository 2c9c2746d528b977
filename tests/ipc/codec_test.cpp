// Every message class through the codec; bad frames go through the port's tests.

#define MSGPACK_NO_BOOST
#include <msgpack.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "libs/ipc/codec.h"
#include "libs/ipc/control.h"
#include "libs/ipc/messages.h"

namespace {

// NIL: nil texts, zeros; EMPTY: empty texts; TYPICAL: a distinct value per
// field; EXTREME: maximum numbers, long texts with a NUL, long lists.
enum class FillStyle { NIL, EMPTY, TYPICAL, EXTREME };

template <class M>
void fill_fields(M& msg, FillStyle style) {
    const bool typical = style == FillStyle::TYPICAL, extreme = style == FillStyle::EXTREME;
    uint32_t n = 0;
    const auto fill = [&](auto& value) {
        using T = std::decay_t<decltype(value)>;
        ++n;
        if constexpr (std::is_same_v<T, SharedString>) {
            value = style == FillStyle::NIL ? nullptr
                    : typical ? make_shared_string("text-" + std::to_string(n) + " é\n\"")
                    : extreme ? make_shared_string(std::string(100000 + n, 'x') + '\0')
                              : make_shared_string("");
        } else if constexpr (std::is_same_v<T, bool>) {
            value = typical || extreme;
        } else if constexpr (std::is_integral_v<T>) {
            value = extreme   ? std::numeric_limits<T>::max()
                    : typical ? static_cast<T>(sizeof(T) == 1 ? n : 1000 * n)
                              : 0;
        } else if constexpr (std::is_same_v<T, std::vector<uint32_t>>) {
            value = typical ? T{2, 25, 164} : extreme ? T{0, UINT32_MAX} : T{};
        } else {  // AP rows, distinct; every seventh without IP, every eleventh without MAC
            value.resize(typical ? 12 : extreme ? 5000 : style == FillStyle::EMPTY);
            for (uint32_t i = 0; i < value.size(); ++i) {
                const auto hi = static_cast<unsigned char>(i >> 8),
                           lo = static_cast<unsigned char>(i);
                if (i % 11 != 0) {
                    value[i].mac.valid = true;
                    value[i].mac.octets = {0x02, 0, 0, 0, hi, lo};
                }
                if (i % 7 != 0) {
                    value[i].ip = {true, {10, 0, hi, lo}};
                }
                value[i].device_type = "DEV-" + std::to_string(i % 13);
                value[i].sw_version = "5.0." + std::to_string(i);
                value[i].hw_version = i % 3 == 0 ? "" : "rev" + std::to_string(i % 5);
                value[i].serial = "SN" + std::to_string(1000000 + i);
                value[i].state = extreme && i + 1 == value.size() ? UINT32_MAX : i % 7;
            }
        }
    };
    msg.visit_fields([&](auto&... fields) { (fill(fields), ...); });
}

inline bool same_field(const SharedString& a, const SharedString& b) {
    return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
}
template <class T>
bool same_field(const T& a, const T& b) {
    return a == b;
}

// Field by field; a nil text differs from an empty one.
template <class M>
bool same_fields(const M& a, const M& b) {
    bool same = true;
    a.visit_fields([&](const auto&... fa) {
        b.visit_fields([&](const auto&... fb) { same = (same_field(fa, fb) && ... && true); });
    });
    return same;
}

std::string payload_of(const std::string& frame) {
    EXPECT_GE(frame.size(), IPC_FRAME_HEADER);
    EXPECT_EQ(ipc_frame_length(frame.data()), frame.size() - IPC_FRAME_HEADER);
    return frame.substr(IPC_FRAME_HEADER);
}

template <class M>
class CodecRoundTrip : public ::testing::Test {};

using AllMessages = ::testing::Types<
    IPC_MSG__SA_CREDENTIALS, IPC_MSG__SA_GET_CREDENTIALS, IPC_MSG__STOP, IPC_MSG__SA_AP_REG_TIMEOUT,
    IPC_MSG__SA_REPORT_REQ, IPC_MSG__SA_REPORT_RESP, IPC_MSG__TZ_UPDATE, IPC_MSG__MAC_FILTER,
    IPC_MSG__MAC_FILTER_RESP, IPC_MSG__MAC_FILTER_CONFIG, IPC_MSG__SET_SEND_AND_RECV,
    IPC_MSG__AUTH_AP, IPC_MSG__AUTH_AP_RESP, IPC_MSG__SA_GET_APS, IPC_MSG__SA_GET_APS_RESP,
    IPC_MSG__SA_PORTS, IPC_MSG__DROP_AUTH, IPC_MSG__FW_AP_CHECK, IPC_MSG__FW_AP_CHECK_RESULT,
    IPC_MSG__SA_FW_DIR, IPC_MSG__SA_TLS_FILES, IPC_MSG__SA_CERT_AUTH_AP,
    IPC_MSG__SA_CERT_AUTH_AP_RESULT, IPC_MSG__SA_RESET, IPC_MSG__INCOMING_CONNECTIONS,
    IPC_MSG__SA_AP_EVENT, IPC_MSG__SA_AP_MACLIST, IPC_MSG__SA_AP_MACLIST_RESP,
    IPC_MSG__CTL_SUBSCRIBE, IPC_MSG__CTL_READY, IPC_MSG__CTL_RUN>;
TYPED_TEST_SUITE(CodecRoundTrip, AllMessages);

TYPED_TEST(CodecRoundTrip, EveryFillSurvives) {
    for (FillStyle style :
         {FillStyle::NIL, FillStyle::EMPTY, FillStyle::TYPICAL, FillStyle::EXTREME}) {
        SCOPED_TRACE(static_cast<int>(style));
        TypeParam msg;
        fill_fields(msg, style);
        std::string frame;
        ASSERT_TRUE(ipc_encode_frame(msg, frame));
        const std::string payload = payload_of(frame);
        const auto decoded = std::dynamic_pointer_cast<TypeParam>(
            ipc_decode_payload(payload.data(), payload.size(), nullptr));
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(same_fields(msg, *decoded));
    }
}

// Built by the msgpack library itself, for the layout other languages rely on.
template <class T>
std::string packed(const T& value) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, value);
    return std::string(buffer.data(), buffer.size());
}
const msgpack::type::nil_t nil;

TEST(Codec, WireLayoutMatchesHandBuiltPayloads) {
    auto event = std::make_shared<IPC_MSG__SA_AP_EVENT>();
    event->mac = make_shared_string("00:11:22:33:44:55");
    event->code = 7;
    event->reason = make_shared_string("");
    auto check = std::make_shared<IPC_MSG__FW_AP_CHECK_RESULT>();
    check->mode = 1;
    check->fw_result = 4000000000u;
    check->check_crt = 200;
    auto aps = std::make_shared<IPC_MSG__SA_GET_APS_RESP>();
    aps->aps.resize(1);
    aps->aps[0].mac = MacAddr::from_str("AA:BB:CC:DD:EE:0F");
    aps->aps[0].device_type = "dt";
    aps->aps[0].state = 5;
    auto sub = std::make_shared<IPC_MSG__CTL_SUBSCRIBE>();
    sub->types = {129, 164};
    auto drop = std::make_shared<IPC_MSG__DROP_AUTH>();
    drop->flag = true;
    auto unknown = std::make_shared<IpcUnknownMsg>(9999);
    unknown->raw_fields = packed(std::make_tuple(std::string("hi"), 7));
    const std::string empty;
    const std::vector<std::tuple<const char*, std::shared_ptr<IMsg>, std::string>> cases = {
        {"texts, int, nils, empty text", event,
         packed(std::make_tuple(164, std::string("00:11:22:33:44:55"), 7, nil, nil, nil, empty))},
        {"bytes and a big uint32", check,
         packed(std::make_tuple(137, nil, 1, 0, 4000000000u, nil, 200, 0))},
        {"AP row: lower-case mac, invalid ip as nil", aps,
         packed(std::make_tuple(
             129, std::vector{std::make_tuple(std::string("aa:bb:cc:dd:ee:0f"), nil,
                                              std::string("dt"), empty, empty, empty, 5)}))},
        {"subscribe", sub, packed(std::make_tuple(0xFFFF0001u, false, std::vector{129, 164}))},
        {"bool field", drop, packed(std::make_tuple(134, nil, true))},
        {"no fields", std::make_shared<IPC_MSG__STOP>(), packed(std::make_tuple(25))},
        {"unknown type", unknown, packed(std::make_tuple(9999, std::string("hi"), 7))},
    };
    for (const auto& [label, msg, want] : cases) {
        SCOPED_TRACE(label);
        std::string frame;
        ASSERT_TRUE(ipc_encode_frame(*msg, frame));
        EXPECT_EQ(payload_of(frame), want);
        // And back: what the hand-built bytes decode to encodes to the same frame.
        const auto decoded = ipc_decode_payload(want.data(), want.size(), nullptr);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->get_type(), msg->get_type());
        std::string again;
        ASSERT_TRUE(ipc_encode_frame(*decoded, again));
        EXPECT_EQ(again, frame);
    }
}

TEST(Codec, RefusesMalformedPayloads) {
    const std::string text = "t";
    const auto row = [&](auto mac, auto device_type) {
        return std::make_tuple(mac, nil, device_type, text, text, text, 0);
    };
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty payload", ""},
        {"truncated array", std::string("\x92\x19", 2)},
        {"trailing bytes", std::string("\x91\x19\x00", 3)},
        // A header announcing four billion elements must not be believed.
        {"huge array header", std::string("\xdd\xff\xff\xff\xff\x19", 6)},
        {"huge string header", std::string("\x92\x02\xdb\xff\xff\xff\xff", 7)},
        {"empty array", packed(std::vector<int>{})},
        {"type is negative", packed(std::make_tuple(-25))},
        {"type over 32 bits", packed(std::make_tuple(uint64_t{1} << 32))},
        {"too few fields", packed(std::make_tuple(2, text))},
        {"text for an int", packed(std::make_tuple(145, std::string("1")))},
        {"negative for an int", packed(std::make_tuple(145, -1))},
        {"uint32 overflow", packed(std::make_tuple(145, uint64_t{1} << 32))},
        {"float for an int", packed(std::make_tuple(145, 1.5))},
        {"256 for a byte", packed(std::make_tuple(130, 8043, 256))},
        {"int for a bool", packed(std::make_tuple(134, nil, 1))},
        {"AP rows not an array", packed(std::make_tuple(129, nil))},
        {"AP row too short", packed(std::make_tuple(129, std::vector{std::make_tuple(nil, nil)}))},
        {"AP row with a bad mac",
         packed(std::make_tuple(129, std::vector{row(std::string("not-a-mac"), text)}))},
        {"AP row with nil device type", packed(std::make_tuple(129, std::vector{row(nil, nil)}))},
        {"subscribe with a negative type",
         packed(std::make_tuple(0xFFFF0001u, false, std::vector{1, -1}))},
    };
    for (const auto& [label, bytes] : cases) {
        std::string why;
        EXPECT_FALSE(ipc_decode_payload(bytes.data(), bytes.size(), &why)) << label;
        EXPECT_FALSE(why.empty()) << label;
    }
}

TEST(Codec, RefusesToEncodeWhatItCannotDescribe) {
    IpcUnknownMsg msg(9999);
    std::string frame = "keep";
    for (const char* raw : {"\xc1", "\x05"}) {  // not msgpack; not an array
        msg.raw_fields = raw;
        EXPECT_FALSE(ipc_encode_frame(msg, frame));
        EXPECT_EQ(frame, "keep");
    }
}

}  // namespace
