#pragma once
// Frames on the wire: a 4-byte big-endian payload length, then a msgpack array
// [type, field1, field2, ...] with the fields in the message class's order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "libs/ipc/imsg.h"

inline constexpr size_t IPC_FRAME_HEADER = 4;

// Appends one whole frame for `msg` to `out`. False (and `out` unchanged) if the
// message cannot be encoded: a type without a codec entry, or bad raw fields of an
// IpcUnknownMsg.
bool ipc_encode_frame(const IMsg& msg, std::string& out);

// Decodes one payload. A well-formed payload of a type without a codec entry gives
// an IpcUnknownMsg. Null on any fault, with the reason in `error`.
std::shared_ptr<IMsg> ipc_decode_payload(const char* data, size_t size, std::string* error);

// Payload length from a frame header (IPC_FRAME_HEADER bytes).
uint32_t ipc_frame_length(const char* header);

// Name of a known type ("IPC_MSG__STOP"), or null.
const char* ipc_type_name(uint32_t type);
