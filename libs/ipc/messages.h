#pragma once
// Every message the admission service sends or receives, fields in message
// order. Field types: SharedString (an empty pointer travels as nil),
// uint32_t, bool, uint8_t (one byte) and std::vector<SaApsInfo::ApInfo>.

#include "libs/ipc/imsg.h"

// 2: credentials for an AP, answer to 3.
struct IPC_MSG__SA_CREDENTIALS : IpcMsg<2> {
    SharedString mac;
    SharedString password;
    DOR_IPC_FIELDS(mac, password)
};

// 3: ask the controller for an admitted AP's credentials.
struct IPC_MSG__SA_GET_CREDENTIALS : IpcMsg<3> {
    SharedString mac;
    SharedString device_type;
    SharedString sw_version;
    SharedString ip;
    DOR_IPC_FIELDS(mac, device_type, sw_version, ip)
};

// 25: stop the service.
struct IPC_MSG__STOP : IpcMsg<25> {
    DOR_IPC_FIELDS()
};

// 106: an authorized AP's registration timed out.
struct IPC_MSG__SA_AP_REG_TIMEOUT : IpcMsg<106> {
    SharedString mac;
    DOR_IPC_FIELDS(mac)
};

// 113 / 114: service report.
struct IPC_MSG__SA_REPORT_REQ : IpcMsg<113> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__SA_REPORT_RESP : IpcMsg<114> {
    SharedString text;
    DOR_IPC_FIELDS(text)
};

// 115: re-read the time zone.
struct IPC_MSG__TZ_UPDATE : IpcMsg<115> {
    DOR_IPC_FIELDS()
};

// 116 / 117: trace MAC filter command and its answer.
struct IPC_MSG__MAC_FILTER : IpcMsg<116> {
    uint32_t action = 0;
    SharedString macs;  // MAC texts separated by single blanks
    DOR_IPC_FIELDS(action, macs)
};
struct IPC_MSG__MAC_FILTER_RESP : IpcMsg<117> {
    SharedString result;
    uint32_t port = 0;
    DOR_IPC_FIELDS(result, port)
};

// 121: replace the trace MAC filter as a whole.
struct IPC_MSG__MAC_FILTER_CONFIG : IpcMsg<121> {
    uint8_t enabled = 0;
    SharedString macs;  // MAC texts separated by single blanks
    DOR_IPC_FIELDS(enabled, macs)
};

// 125: switch the port to send-and-receive mode.
struct IPC_MSG__SET_SEND_AND_RECV : IpcMsg<125> {
    DOR_IPC_FIELDS()
};

// 126 / 127: administrator authentication of one AP ("all" for every waiting AP).
struct IPC_MSG__AUTH_AP : IpcMsg<126> {
    SharedString target;
    DOR_IPC_FIELDS(target)
};
struct IPC_MSG__AUTH_AP_RESP : IpcMsg<127> {
    SharedString text;
    DOR_IPC_FIELDS(text)
};

// 128 / 129: AP list.
struct IPC_MSG__SA_GET_APS : IpcMsg<128> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__SA_GET_APS_RESP : IpcMsg<129> {
    std::vector<SaApsInfo::ApInfo> aps;
    DOR_IPC_FIELDS(aps)
};

// 130: ports (the authorized endpoint listens on base + 1) and auto-authentication.
struct IPC_MSG__SA_PORTS : IpcMsg<130> {
    uint32_t base_port = 0;
    uint8_t auto_auth = 0;
    DOR_IPC_FIELDS(base_port, auto_auth)
};

// 134: the authorized endpoint dropped its certificates.
struct IPC_MSG__DROP_AUTH : IpcMsg<134> {
    SharedString target;
    bool flag = false;
    DOR_IPC_FIELDS(target, flag)
};

// 136 / 137: firmware and admission check of an AP, and its result.
struct IPC_MSG__FW_AP_CHECK : IpcMsg<136> {
    SharedString mac;
    SharedString device_type;
    SharedString ip;
    SharedString sw_version;
    uint32_t kind = 0;
    bool authorized = false;
    DOR_IPC_FIELDS(mac, device_type, ip, sw_version, kind, authorized)
};
struct IPC_MSG__FW_AP_CHECK_RESULT : IpcMsg<137> {
    SharedString mac;
    uint32_t mode = 0;
    uint32_t verdict = 0;
    uint32_t fw_result = 0;
    SharedString fw_file;
    uint8_t check_crt = 0;
    uint8_t tracked = 0;
    DOR_IPC_FIELDS(mac, mode, verdict, fw_result, fw_file, check_crt, tracked)
};

// 138: firmware image directory.
struct IPC_MSG__SA_FW_DIR : IpcMsg<138> {
    SharedString dir;
    DOR_IPC_FIELDS(dir)
};

// 139: TLS files of the authorized endpoint. Note the order: key before cert.
struct IPC_MSG__SA_TLS_FILES : IpcMsg<139> {
    SharedString ca_file;
    SharedString key_file;
    SharedString cert_file;
    SharedString ap_cert_dir;
    DOR_IPC_FIELDS(ca_file, key_file, cert_file, ap_cert_dir)
};

// 140 / 141: certificate for an unauthorized AP, and the result.
struct IPC_MSG__SA_CERT_AUTH_AP : IpcMsg<140> {
    SharedString ip;
    SharedString mac;
    DOR_IPC_FIELDS(ip, mac)
};
struct IPC_MSG__SA_CERT_AUTH_AP_RESULT : IpcMsg<141> {
    SharedString ip;
    SharedString mac;
    uint32_t result = 0;
    DOR_IPC_FIELDS(ip, mac, result)
};

// 144: forget every AP and the TLS files.
struct IPC_MSG__SA_RESET : IpcMsg<144> {
    DOR_IPC_FIELDS()
};

// 145: admission mode of incoming AP connections (IncomingConnections).
struct IPC_MSG__INCOMING_CONNECTIONS : IpcMsg<145> {
    uint32_t mode = 0;
    DOR_IPC_FIELDS(mode)
};

// 164: something notable happened to an AP.
struct IPC_MSG__SA_AP_EVENT : IpcMsg<164> {
    SharedString mac;
    uint32_t code = 0;
    SharedString device_type;
    SharedString sw_version;
    SharedString ip;
    SharedString reason;
    DOR_IPC_FIELDS(mac, code, device_type, sw_version, ip, reason)
};

// 167 / 168: MAC list with each AP's status.
struct IPC_MSG__SA_AP_MACLIST : IpcMsg<167> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__SA_AP_MACLIST_RESP : IpcMsg<168> {
    SharedString text;
    DOR_IPC_FIELDS(text)
};

// The service's own requests that an AP's answer waits on: credentials (3),
// admission and firmware check (136), certificate (140).
inline bool ipc_ap_waits_for_answer(uint32_t type) {
    return type == IPC_MSG__SA_GET_CREDENTIALS::kType || type == IPC_MSG__FW_AP_CHECK::kType ||
           type == IPC_MSG__SA_CERT_AUTH_AP::kType;
}
// Extensions of this service, never sent by the controller: a status view and
// counters, each answered with a JSON text (docs/ipc-protocol.md).
inline constexpr uint32_t kIpcExtensionFirst = 0x00010000;
struct IPC_MSG__EXT_STATUS_REQ : IpcMsg<kIpcExtensionFirst> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__EXT_STATUS_RESP : IpcMsg<kIpcExtensionFirst + 1> {
    SharedString json;
    DOR_IPC_FIELDS(json)
};
struct IPC_MSG__EXT_METRICS_REQ : IpcMsg<kIpcExtensionFirst + 2> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__EXT_METRICS_RESP : IpcMsg<kIpcExtensionFirst + 3> {
    SharedString json;
    DOR_IPC_FIELDS(json)
};
