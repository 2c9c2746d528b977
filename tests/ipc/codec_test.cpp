// Every message class through the codec, the wire layout checked against
// frames built by hand, and the payloads the decoder must refuse.

#define MSGPACK_NO_BOOST
#include <msgpack.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "libs/ipc/codec.h"
#include "libs/ipc/control.h"
#include "libs/ipc/messages.h"
#include "tests/ipc/ipc_test_values.h"

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

std::string payload_of(const std::string& frame) {
    EXPECT_GE(frame.size(), IPC_FRAME_HEADER);
    EXPECT_EQ(ipc_frame_length(frame.data()), frame.size() - IPC_FRAME_HEADER);
    return frame.substr(IPC_FRAME_HEADER);
}

template <class M>
std::shared_ptr<M> round_trip(const M& msg) {
    std::string frame;
    EXPECT_TRUE(ipc_encode_frame(msg, frame));
    const std::string payload = payload_of(frame);
    std::string why;
    auto decoded = ipc_decode_payload(payload.data(), payload.size(), &why);
    EXPECT_TRUE(decoded) << why;
    return std::dynamic_pointer_cast<M>(decoded);
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

// Each fill style stresses a different corner: nil versus empty text, zero
// versus maximum numbers, long texts and long row lists.
TYPED_TEST(CodecRoundTrip, EveryFillSurvives) {
    for (FillStyle style : kAllFillStyles) {
        SCOPED_TRACE(fill_style_name(style));
        TypeParam msg;
        fill_fields(msg, style);
        const auto decoded = round_trip(msg);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->get_type(), TypeParam::kType);
        EXPECT_TRUE(same_fields(msg, *decoded));
    }
}

TEST(Codec, HundredThousandApRowsSurvive) {
    IPC_MSG__SA_GET_APS_RESP msg;
    msg.aps = many_ap_rows(100000);
    const auto decoded = round_trip(msg);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->aps.size(), msg.aps.size());
    EXPECT_TRUE(decoded->aps == msg.aps);
}

// The layout other languages rely on, built here with msgpack directly.
TEST(Codec, WireLayoutMatchesHandBuiltPayloads) {
    struct Case {
        const char* label;
        std::shared_ptr<IMsg> msg;
        std::function<void(Packer&)> expected;
    };
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
    const Case cases[] = {
        {"event: str, int, nils, empty str", event,
         [](Packer& pk) {
             pk.pack_array(7);
             pk.pack(164);
             pk.pack(std::string("00:11:22:33:44:55"));
             pk.pack(7);
             pk.pack_nil();
             pk.pack_nil();
             pk.pack_nil();
             pk.pack(std::string(""));
         }},
        {"check result: bytes and big uint32", check,
         [](Packer& pk) {
             pk.pack_array(8);
             pk.pack(137);
             pk.pack_nil();
             pk.pack(1);
             pk.pack(0);
             pk.pack(4000000000u);
             pk.pack_nil();
             pk.pack(200);
             pk.pack(0);
         }},
        {"AP row: lower-case mac, invalid ip as nil", aps,
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(129);
             pk.pack_array(1);
             pk.pack_array(7);
             pk.pack(std::string("aa:bb:cc:dd:ee:0f"));
             pk.pack_nil();
             pk.pack(std::string("dt"));
             pk.pack(std::string(""));
             pk.pack(std::string(""));
             pk.pack(std::string(""));
             pk.pack(5);
         }},
        {"subscribe", sub,
         [](Packer& pk) {
             pk.pack_array(3);
             pk.pack(0xFFFF0001u);
             pk.pack(false);
             pk.pack(std::vector<uint32_t>{129, 164});
         }},
        {"bool field", drop,
         [](Packer& pk) {
             pk.pack_array(3);
             pk.pack(134);
             pk.pack_nil();
             pk.pack(true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        msgpack::sbuffer want;
        Packer pk(want);
        c.expected(pk);
        std::string frame;
        ASSERT_TRUE(ipc_encode_frame(*c.msg, frame));
        EXPECT_EQ(payload_of(frame), std::string(want.data(), want.size()));
    }
}

TEST(Codec, RefusesMalformedPayloads) {
    struct Case {
        const char* label;
        std::function<void(Packer&)> build;
    };
    const Case cases[] = {
        {"not an array", [](Packer& pk) { pk.pack(25); }},
        {"empty array", [](Packer& pk) { pk.pack_array(0); }},
        {"type is a string",
         [](Packer& pk) {
             pk.pack_array(1);
             pk.pack(std::string("25"));
         }},
        {"type is negative",
         [](Packer& pk) {
             pk.pack_array(1);
             pk.pack(-25);
         }},
        {"type over 32 bits",
         [](Packer& pk) {
             pk.pack_array(1);
             pk.pack(uint64_t{1} << 32);
         }},
        {"too many fields",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(25);
             pk.pack_nil();
         }},
        {"too few fields",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(2);
             pk.pack(std::string("mac"));
         }},
        {"int for a string",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(106);
             pk.pack(5);
         }},
        {"string for an int",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(145);
             pk.pack(std::string("1"));
         }},
        {"negative for an int",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(145);
             pk.pack(-1);
         }},
        {"uint32 overflow",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(145);
             pk.pack(uint64_t{1} << 32);
         }},
        {"256 for a byte",
         [](Packer& pk) {
             pk.pack_array(3);
             pk.pack(130);
             pk.pack(8043);
             pk.pack(256);
         }},
        {"int for a bool",
         [](Packer& pk) {
             pk.pack_array(3);
             pk.pack(134);
             pk.pack_nil();
             pk.pack(1);
         }},
        {"float for an int",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(145);
             pk.pack(1.5);
         }},
        {"AP row too short",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(129);
             pk.pack_array(1);
             pk.pack_array(6);
             for (int i = 0; i < 6; ++i)
                 pk.pack_nil();
         }},
        {"AP row with a bad mac",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(129);
             pk.pack_array(1);
             pk.pack_array(7);
             pk.pack(std::string("not-a-mac"));
             pk.pack_nil();
             for (int i = 0; i < 4; ++i)
                 pk.pack(std::string(""));
             pk.pack(0);
         }},
        {"AP row with nil device type",
         [](Packer& pk) {
             pk.pack_array(2);
             pk.pack(129);
             pk.pack_array(1);
             pk.pack_array(7);
             for (int i = 0; i < 6; ++i)
                 pk.pack_nil();
             pk.pack(0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        msgpack::sbuffer buffer;
        Packer pk(buffer);
        c.build(pk);
        std::string why;
        EXPECT_FALSE(ipc_decode_payload(buffer.data(), buffer.size(), &why));
        EXPECT_FALSE(why.empty());
    }
}

TEST(Codec, RefusesBytesThatAreNotOneMsgpackValue) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"reserved byte", "\xc1"},
        {"truncated array", std::string("\x92\x19", 2)},
        {"trailing bytes", std::string("\x91\x19\x00", 3)},
        // An array header announcing four billion elements must not be believed.
        {"huge array header", std::string("\xdd\xff\xff\xff\xff\x19", 6)},
        {"huge string header", std::string("\x92\x02\xdb\xff\xff\xff\xff", 7)},
    };
    for (const auto& [label, bytes] : cases) {
        SCOPED_TRACE(label);
        std::string why;
        EXPECT_FALSE(ipc_decode_payload(bytes.data(), bytes.size(), &why));
        EXPECT_FALSE(why.empty());
    }
}

TEST(Codec, UnknownTypeKeepsItsFieldsAndEncodesBack) {
    msgpack::sbuffer buffer;
    Packer pk(buffer);
    pk.pack_array(4);
    pk.pack(9999);
    pk.pack(std::string("x"));
    pk.pack_nil();
    pk.pack(std::vector<int>{1, 2});
    std::string why;
    auto decoded = ipc_decode_payload(buffer.data(), buffer.size(), &why);
    auto unknown = std::dynamic_pointer_cast<IpcUnknownMsg>(decoded);
    ASSERT_TRUE(unknown) << why;
    EXPECT_EQ(unknown->get_type(), 9999u);

    msgpack::sbuffer fields;
    Packer fpk(fields);
    fpk.pack_array(3);
    fpk.pack(std::string("x"));
    fpk.pack_nil();
    fpk.pack(std::vector<int>{1, 2});
    EXPECT_EQ(unknown->raw_fields, std::string(fields.data(), fields.size()));

    std::string frame;
    ASSERT_TRUE(ipc_encode_frame(*unknown, frame));
    EXPECT_EQ(payload_of(frame), std::string(buffer.data(), buffer.size()));
}

TEST(Codec, RefusesToEncodeWhatItCannotDescribe) {
    IpcUnknownMsg bad_raw(9999);
    bad_raw.raw_fields = "\xc1";
    IpcUnknownMsg not_array(9999);
    not_array.raw_fields = "\x05";
    const IMsg* cases[] = {&bad_raw, &not_array};
    for (const IMsg* msg : cases) {
        std::string frame = "keep";
        EXPECT_FALSE(ipc_encode_frame(*msg, frame));
        EXPECT_EQ(frame, "keep");
    }
}

}  // namespace
