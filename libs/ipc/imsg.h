#pragma once
// Typed IPC messages. A message class lists its fields once, in message order,
// with DOR_IPC_FIELDS; the codec walks that list to encode and decode it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "registry/addr.h"

using Error = uint32_t;  // 0: success
using PortId = uint32_t;

inline constexpr Error IPC_OK = 0;
inline constexpr Error IPC_ERR_NO_PEER = 1;   // no connected peer wants the type
inline constexpr Error IPC_ERR_ENCODE = 2;    // the message could not be encoded
inline constexpr Error IPC_ERR_NOT_OPEN = 3;  // the port or client has no socket
inline constexpr Error IPC_ERR_IO = 4;        // the peer went away while writing

using SharedString = std::shared_ptr<std::string>;

inline SharedString make_shared_string(std::string text) {
    return std::make_shared<std::string>(std::move(text));
}

class IMsg {
  public:
    virtual uint32_t get_type() const { return type_; }
    virtual ~IMsg() = default;

  protected:
    explicit IMsg(uint32_t type) : type_(type) {}
    IMsg(const IMsg&) = default;
    IMsg& operator=(const IMsg&) = default;

  private:
    uint32_t type_;
};

// Fields are visited in message order by the codec and by tests.
#define DOR_IPC_FIELDS(...)                      \
    template <class Visitor>                     \
    void visit_fields(Visitor&& visitor) {       \
        visitor(__VA_ARGS__);                    \
    }                                            \
    template <class Visitor>                     \
    void visit_fields(Visitor&& visitor) const { \
        visitor(__VA_ARGS__);                    \
    }

template <uint32_t Type>
class IpcMsg : public IMsg {
  public:
    static constexpr uint32_t kType = Type;
    IpcMsg() : IMsg(Type) {}
};

// A well-formed message whose type this library does not know. It reaches the
// callback so that the receiver decides; its fields are kept undecoded.
class IpcUnknownMsg : public IMsg {
  public:
    explicit IpcUnknownMsg(uint32_t type) : IMsg(type) {}
    std::string raw_fields;  // the msgpack encoding of the field values
};

// Codes of SaApsInfo::ApInfo::state.
enum class SaApState : uint32_t {
    UNKNOWN = 0,
    REGISTERING = 1,
    WAITING_AUTH = 2,
    JOINING_BY_ADMIN = 3,
    JOINING_AUTO = 4,
    JOINED = 5,
    UPGRADING_FW = 6,
};

// One row of the AP list.
struct SaApsInfo {
    struct ApInfo {
        MacAddr mac;
        Ipv4Addr ip;
        std::string device_type;
        std::string sw_version;
        std::string hw_version;
        std::string serial;
        uint32_t state = 0;

        friend bool operator==(const ApInfo&, const ApInfo&) = default;
    };
};
