#pragma once
// What dorctl prints: the AP table, JSON texts and event lines.

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "libs/ipc/imsg.h"

struct IPC_MSG__SA_AP_EVENT;

namespace dorctl {

// "joined", "waiting-auth", ...; "state-N" for a code the tool does not know.
std::string ap_state_name(uint32_t state);

// Aligned columns with a header line, one AP per line.
std::string ap_table(const std::vector<SaApsInfo::ApInfo>& aps);
// A JSON array of objects, one per AP, indented.
std::string ap_json(const std::vector<SaApsInfo::ApInfo>& aps);

// The service's JSON text indented; anything that does not parse as it came.
std::string pretty_json(const std::string& text);

// Members of the object in a JSON answer; nothing when the text is not an
// object or the member is missing or of another type.
std::optional<std::string> json_string_member(const std::string& text, const char* key);
std::optional<bool> json_bool_member(const std::string& text, const char* key);

// What `auth all` admitted, one "admitted MAC" line each ("admitted no AP"
// when none): the APs `before` lists as waiting, less those the answer says
// did not start. Empty when the answer is neither a success nor that list.
std::string auth_all_summary(const std::vector<SaApsInfo::ApInfo>& before,
                             const std::string& answer);
// "MAC: admitted" or "MAC: not admitted: <cause>".
std::string auth_one_summary(const std::string& mac, const std::string& answer);

// One line each (no newline), stamped with `now` (CLOCK_REALTIME) as trace lines are.
std::string event_line(const IPC_MSG__SA_AP_EVENT& event, const timespec& now, bool json);
std::string reg_timeout_line(const std::string& mac, const timespec& now, bool json);

}  // namespace dorctl
