#pragma once
// Real IPC port with a listening client, empty registries behind the globals,
// every trace line captured.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dialogue/sa_config.h"
#include "libs/ipc/imsg.h"
#include "libs/trace/trace.h"
#include "registry/addr.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"
#include "tests/support/ipc_test_bed.h"

// A sent message as its type and its fields in message order (nil strings as "<nil>").
struct SentMsg {
    uint32_t type = 0;
    std::vector<std::string> fields;
    friend bool operator==(const SentMsg&, const SentMsg&) = default;
};
void PrintTo(const SentMsg& msg, std::ostream* os);
SentMsg render(const IMsg& msg);

struct LoggedLine {
    TraceCategory category;
    std::optional<MacAddr> mac;
    std::string text;
    friend bool operator==(const LoggedLine&, const LoggedLine&) = default;
};
void PrintTo(const LoggedLine& line, std::ostream* os);

class DialogueFixture : public ::testing::Test {
  protected:
    DialogueFixture();
    ~DialogueFixture() override;

    // What the port sent, and the trace lines, since the last call.
    std::vector<SentMsg> sent();
    std::vector<LoggedLine> logged();

    IpcTestBed bed;
    SaConfig config;
    TrackedAps tracked{config, timespec{}};
    UnauthedAps unauthed{config, timespec{}};

  private:
    std::vector<LoggedLine> lines_;
};
