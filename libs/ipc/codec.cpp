#include "libs/ipc/codec.h"

#define MSGPACK_NO_BOOST
#include <msgpack.hpp>

#include <array>
#include <exception>
#include <limits>

#include "libs/ipc/control.h"
#include "libs/ipc/messages.h"

namespace {

struct StringSink {
    std::string& out;
    void write(const char* data, size_t size) { out.append(data, size); }
};
using Packer = msgpack::packer<StringSink>;

// --- encoding of one field, by its C++ type ---

void pack_text(Packer& pk, const std::string& text) {
    pk.pack_str(static_cast<uint32_t>(text.size()));
    pk.pack_str_body(text.data(), static_cast<uint32_t>(text.size()));
}

void pack_field(Packer& pk, const SharedString& value) {
    if (value) {
        pack_text(pk, *value);
    } else {
        pk.pack_nil();
    }
}
void pack_field(Packer& pk, uint32_t value) {
    pk.pack_uint32(value);
}
void pack_field(Packer& pk, uint8_t value) {
    pk.pack_uint8(value);
}
void pack_field(Packer& pk, bool value) {
    pk.pack(value);
}
void pack_field(Packer& pk, const std::vector<uint32_t>& values) {
    pk.pack_array(static_cast<uint32_t>(values.size()));
    for (uint32_t value : values) {
        pk.pack_uint32(value);
    }
}
void pack_field(Packer& pk, const std::vector<SaApsInfo::ApInfo>& rows) {
    pk.pack_array(static_cast<uint32_t>(rows.size()));
    for (const auto& row : rows) {
        pk.pack_array(7);
        if (row.mac.valid) {
            pack_text(pk, row.mac.str());
        } else {
            pk.pack_nil();
        }
        if (row.ip.valid) {
            pack_text(pk, row.ip.str());
        } else {
            pk.pack_nil();
        }
        pack_text(pk, row.device_type);
        pack_text(pk, row.sw_version);
        pack_text(pk, row.hw_version);
        pack_text(pk, row.serial);
        pk.pack_uint32(row.state);
    }
}

// --- strict decoding of one field ---

std::string text_of(const msgpack::object& obj) {
    return std::string(obj.via.str.ptr, obj.via.str.size);
}

bool unsigned_at_most(const msgpack::object& obj, uint64_t max, uint64_t& value) {
    if (obj.type != msgpack::type::POSITIVE_INTEGER || obj.via.u64 > max) {
        return false;
    }
    value = obj.via.u64;
    return true;
}

const char* unpack_field(const msgpack::object& obj, SharedString& value) {
    if (obj.type == msgpack::type::NIL) {
        value.reset();
        return nullptr;
    }
    if (obj.type != msgpack::type::STR) {
        return "expected str or nil";
    }
    value = make_shared_string(text_of(obj));
    return nullptr;
}
const char* unpack_field(const msgpack::object& obj, uint32_t& value) {
    uint64_t wide = 0;
    if (!unsigned_at_most(obj, std::numeric_limits<uint32_t>::max(), wide)) {
        return "expected unsigned 32-bit int";
    }
    value = static_cast<uint32_t>(wide);
    return nullptr;
}
const char* unpack_field(const msgpack::object& obj, uint8_t& value) {
    uint64_t wide = 0;
    if (!unsigned_at_most(obj, 255, wide)) {
        return "expected int 0..255";
    }
    value = static_cast<uint8_t>(wide);
    return nullptr;
}
const char* unpack_field(const msgpack::object& obj, bool& value) {
    if (obj.type != msgpack::type::BOOLEAN) {
        return "expected bool";
    }
    value = obj.via.boolean;
    return nullptr;
}
const char* unpack_field(const msgpack::object& obj, std::vector<uint32_t>& values) {
    if (obj.type != msgpack::type::ARRAY) {
        return "expected array of unsigned 32-bit ints";
    }
    values.clear();
    values.reserve(obj.via.array.size);
    for (uint32_t i = 0; i < obj.via.array.size; ++i) {
        uint32_t value = 0;
        if (unpack_field(obj.via.array.ptr[i], value) != nullptr) {
            return "expected array of unsigned 32-bit ints";
        }
        values.push_back(value);
    }
    return nullptr;
}

// A MAC or IPv4 text, or nil for an invalid value; a text that does not parse is a fault.
template <class Addr>
bool unpack_addr(const msgpack::object& obj, Addr& value) {
    if (obj.type == msgpack::type::NIL) {
        value = Addr{};
        return true;
    }
    if (obj.type != msgpack::type::STR) {
        return false;
    }
    value = Addr::from_str(text_of(obj).c_str());
    return value.valid;
}

const char* unpack_row(const msgpack::object& obj, SaApsInfo::ApInfo& row) {
    if (obj.type != msgpack::type::ARRAY || obj.via.array.size != 7) {
        return "AP row: expected array of 7";
    }
    const msgpack::object* cell = obj.via.array.ptr;
    if (!unpack_addr(cell[0], row.mac)) {
        return "AP row: bad mac";
    }
    if (!unpack_addr(cell[1], row.ip)) {
        return "AP row: bad ip";
    }
    std::string* texts[] = {&row.device_type, &row.sw_version, &row.hw_version, &row.serial};
    for (size_t i = 0; i < 4; ++i) {
        if (cell[2 + i].type != msgpack::type::STR) {
            return "AP row: expected str";
        }
        *texts[i] = text_of(cell[2 + i]);
    }
    if (unpack_field(cell[6], row.state) != nullptr) {
        return "AP row: bad state";
    }
    return nullptr;
}
const char* unpack_field(const msgpack::object& obj, std::vector<SaApsInfo::ApInfo>& rows) {
    if (obj.type != msgpack::type::ARRAY) {
        return "expected array of AP rows";
    }
    rows.clear();
    rows.resize(obj.via.array.size);
    for (uint32_t i = 0; i < obj.via.array.size; ++i) {
        if (const char* why = unpack_row(obj.via.array.ptr[i], rows[i])) {
            return why;
        }
    }
    return nullptr;
}

// --- the table ---

struct CodecEntry {
    uint32_t type = 0;
    const char* name = nullptr;
    size_t field_count = 0;
    std::shared_ptr<IMsg> (*make)() = nullptr;
    // False when `msg` is not of the entry's class.
    bool (*encode)(const IMsg& msg, Packer& pk) = nullptr;
    // Empty on success, else the reason; `fields` has field_count elements.
    std::string (*decode)(const msgpack::object* fields, IMsg& msg) = nullptr;
};

template <class M>
CodecEntry entry_for(const char* name) {
    CodecEntry entry;
    entry.type = M::kType;
    entry.name = name;
    M probe;
    probe.visit_fields([&](auto&... fields) { entry.field_count = sizeof...(fields); });
    entry.make = [] { return std::shared_ptr<IMsg>(std::make_shared<M>()); };
    entry.encode = [](const IMsg& msg, Packer& pk) {
        const M* typed = dynamic_cast<const M*>(&msg);
        if (typed == nullptr) {
            return false;
        }
        typed->visit_fields([&](const auto&... fields) {
            pk.pack_array(static_cast<uint32_t>(1 + sizeof...(fields)));
            pk.pack_uint32(M::kType);
            (pack_field(pk, fields), ...);
        });
        return true;
    };
    entry.decode = [](const msgpack::object* in, IMsg& msg) {
        std::string error;
        size_t index = 0;
        static_cast<M&>(msg).visit_fields([&](auto&... fields) {
            auto one = [&](auto& field) {
                if (const char* why = unpack_field(in[index], field)) {
                    error = "field " + std::to_string(index + 1) + ": " + why;
                    return false;
                }
                ++index;
                return true;
            };
            (void)one;
            (void)(one(fields) && ...);
        });
        return error;
    };
    return entry;
}

#define DOR_IPC_ENTRY(M) entry_for<M>(#M)

const std::vector<CodecEntry>& all_entries() {
    static const std::vector<CodecEntry> entries = {
        DOR_IPC_ENTRY(IPC_MSG__SA_CREDENTIALS),
        DOR_IPC_ENTRY(IPC_MSG__SA_GET_CREDENTIALS),
        DOR_IPC_ENTRY(IPC_MSG__STOP),
        DOR_IPC_ENTRY(IPC_MSG__SA_AP_REG_TIMEOUT),
        DOR_IPC_ENTRY(IPC_MSG__SA_REPORT_REQ),
        DOR_IPC_ENTRY(IPC_MSG__SA_REPORT_RESP),
        DOR_IPC_ENTRY(IPC_MSG__TZ_UPDATE),
        DOR_IPC_ENTRY(IPC_MSG__MAC_FILTER),
        DOR_IPC_ENTRY(IPC_MSG__MAC_FILTER_RESP),
        DOR_IPC_ENTRY(IPC_MSG__MAC_FILTER_CONFIG),
        DOR_IPC_ENTRY(IPC_MSG__SET_SEND_AND_RECV),
        DOR_IPC_ENTRY(IPC_MSG__AUTH_AP),
        DOR_IPC_ENTRY(IPC_MSG__AUTH_AP_RESP),
        DOR_IPC_ENTRY(IPC_MSG__SA_GET_APS),
        DOR_IPC_ENTRY(IPC_MSG__SA_GET_APS_RESP),
        DOR_IPC_ENTRY(IPC_MSG__SA_PORTS),
        DOR_IPC_ENTRY(IPC_MSG__DROP_AUTH),
        DOR_IPC_ENTRY(IPC_MSG__FW_AP_CHECK),
        DOR_IPC_ENTRY(IPC_MSG__FW_AP_CHECK_RESULT),
        DOR_IPC_ENTRY(IPC_MSG__SA_FW_DIR),
        DOR_IPC_ENTRY(IPC_MSG__SA_TLS_FILES),
        DOR_IPC_ENTRY(IPC_MSG__SA_CERT_AUTH_AP),
        DOR_IPC_ENTRY(IPC_MSG__SA_CERT_AUTH_AP_RESULT),
        DOR_IPC_ENTRY(IPC_MSG__SA_RESET),
        DOR_IPC_ENTRY(IPC_MSG__INCOMING_CONNECTIONS),
        DOR_IPC_ENTRY(IPC_MSG__SA_AP_EVENT),
        DOR_IPC_ENTRY(IPC_MSG__SA_AP_MACLIST),
        DOR_IPC_ENTRY(IPC_MSG__SA_AP_MACLIST_RESP),
        DOR_IPC_ENTRY(IPC_MSG__EXT_STATUS_REQ),
        DOR_IPC_ENTRY(IPC_MSG__EXT_STATUS_RESP),
        DOR_IPC_ENTRY(IPC_MSG__EXT_METRICS_REQ),
        DOR_IPC_ENTRY(IPC_MSG__EXT_METRICS_RESP),
        DOR_IPC_ENTRY(IPC_MSG__CTL_SUBSCRIBE),
        DOR_IPC_ENTRY(IPC_MSG__CTL_READY),
        DOR_IPC_ENTRY(IPC_MSG__CTL_RUN),
    };
    return entries;
}

// Message types are small numbers and control types sit at the top of the
// range, so two short arrays index every entry.
constexpr uint32_t kMessageSlots = 256;
constexpr uint32_t kControlSlots = 16;
// The service's own extension types, just above the messages' range.
constexpr uint32_t kExtensionSlots = 16;

struct CodecTable {
    std::array<const CodecEntry*, kMessageSlots> messages{};
    std::array<const CodecEntry*, kControlSlots> controls{};
    std::array<const CodecEntry*, kExtensionSlots> extensions{};

    CodecTable() {
        for (const auto& entry : all_entries()) {
            if (entry.type < kMessageSlots) {
                messages[entry.type] = &entry;
            } else if (entry.type - kIpcExtensionFirst < kExtensionSlots) {
                extensions[entry.type - kIpcExtensionFirst] = &entry;
            } else {
                controls[entry.type - IPC_CONTROL_FIRST] = &entry;
            }
        }
    }
    const CodecEntry* find(uint32_t type) const {
        if (type < kMessageSlots) {
            return messages[type];
        }
        if (type >= IPC_CONTROL_FIRST && type - IPC_CONTROL_FIRST < kControlSlots) {
            return controls[type - IPC_CONTROL_FIRST];
        }
        if (type - kIpcExtensionFirst < kExtensionSlots) {
            return extensions[type - kIpcExtensionFirst];
        }
        return nullptr;
    }
};

const CodecEntry* find_entry(uint32_t type) {
    static const CodecTable table;
    return table.find(type);
}

// Element counts can never exceed the payload's byte count, which keeps a
// forged array header from making the parser allocate gigabytes.
msgpack::object_handle unpack_strict(const char* data, size_t size) {
    const msgpack::unpack_limit limit(size, size / 2, size, size, size, 8);
    size_t offset = 0;
    auto refer_to_buffer = [](msgpack::type::object_type, size_t, void*) { return true; };
    msgpack::object_handle handle =
        msgpack::unpack(data, size, offset, refer_to_buffer, nullptr, limit);
    if (offset != size) {
        throw std::runtime_error("trailing bytes after the payload");
    }
    return handle;
}

bool encode_unknown(const IpcUnknownMsg& msg, Packer& pk) {
    try {
        msgpack::object_handle handle = unpack_strict(msg.raw_fields.data(), msg.raw_fields.size());
        const msgpack::object& fields = handle.get();
        if (fields.type != msgpack::type::ARRAY) {
            return false;
        }
        pk.pack_array(1 + fields.via.array.size);
        pk.pack_uint32(msg.get_type());
        for (uint32_t i = 0; i < fields.via.array.size; ++i) {
            pk.pack(fields.via.array.ptr[i]);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool ipc_encode_frame(const IMsg& msg, std::string& out) {
    const size_t start = out.size();
    try {
        out.append(IPC_FRAME_HEADER, '\0');
        StringSink sink{out};
        Packer pk(sink);
        bool ok = false;
        if (const auto* unknown = dynamic_cast<const IpcUnknownMsg*>(&msg)) {
            ok = encode_unknown(*unknown, pk);
        } else if (const CodecEntry* entry = find_entry(msg.get_type())) {
            ok = entry->encode(msg, pk);
        }
        const size_t length = out.size() - start - IPC_FRAME_HEADER;
        if (!ok || length > std::numeric_limits<uint32_t>::max()) {
            out.resize(start);
            return false;
        }
        for (size_t i = 0; i < IPC_FRAME_HEADER; ++i) {
            out[start + i] = static_cast<char>((length >> (8 * (IPC_FRAME_HEADER - 1 - i))) & 0xFF);
        }
        return true;
    } catch (const std::exception&) {
        out.resize(start);
        return false;
    }
}

uint32_t ipc_frame_length(const char* header) {
    uint32_t length = 0;
    for (size_t i = 0; i < IPC_FRAME_HEADER; ++i) {
        length = (length << 8) | static_cast<unsigned char>(header[i]);
    }
    return length;
}

std::shared_ptr<IMsg> ipc_decode_payload(const char* data, size_t size, std::string* error) {
    std::string why;
    try {
        if (size == 0) {
            why = "empty payload";
        } else {
            msgpack::object_handle handle = unpack_strict(data, size);
            const msgpack::object& root = handle.get();
            uint64_t type = 0;
            if (root.type != msgpack::type::ARRAY || root.via.array.size == 0) {
                why = "payload is not a non-empty array";
            } else if (!unsigned_at_most(root.via.array.ptr[0],
                                         std::numeric_limits<uint32_t>::max(), type)) {
                why = "type is not an unsigned 32-bit int";
            } else {
                const msgpack::object* fields = root.via.array.ptr + 1;
                const size_t count = root.via.array.size - 1;
                const CodecEntry* entry = find_entry(static_cast<uint32_t>(type));
                if (entry == nullptr) {
                    auto unknown = std::make_shared<IpcUnknownMsg>(static_cast<uint32_t>(type));
                    StringSink sink{unknown->raw_fields};
                    Packer pk(sink);
                    pk.pack_array(static_cast<uint32_t>(count));
                    for (size_t i = 0; i < count; ++i) {
                        pk.pack(fields[i]);
                    }
                    return unknown;
                }
                if (count != entry->field_count) {
                    why = std::string(entry->name) + ": " + std::to_string(count) +
                          " fields, expected " + std::to_string(entry->field_count);
                } else {
                    std::shared_ptr<IMsg> msg = entry->make();
                    why = entry->decode(fields, *msg);
                    if (why.empty()) {
                        return msg;
                    }
                    why = std::string(entry->name) + " " + why;
                }
            }
        }
    } catch (const std::exception& e) {
        why = std::string("not msgpack: ") + e.what();
    }
    if (error != nullptr) {
        *error = why;
    }
    return nullptr;
}

const char* ipc_type_name(uint32_t type) {
    const CodecEntry* entry = find_entry(type);
    return entry != nullptr ? entry->name : nullptr;
}
