#include "controller/cert_auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/ipc/ipc_port.h"
#include "platform/globals.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace {

class CertAuthTest : public DialogueFixture {};

TEST_F(CertAuthTest, RequestCarriesAddressThenMac) {
    send_cert_auth_ap("10.1.2.3", MacAddr::from_str("AA:BB:CC:00:11:22"));
    EXPECT_EQ(sent(), (std::vector<SentMsg>{{140, {"10.1.2.3", "aa:bb:cc:00:11:22"}}}));
    EXPECT_TRUE(logged().empty());
}

TEST_F(CertAuthTest, FailedSendIsLoggedForTheAp) {
    TempDir dir;
    Trace port_trace("CERTTEST");
    IpcPort lonely(SA_PORT_ID, port_trace, dir.path());  // nobody listens to it
    g_ipc_port = &lonely;
    const MacAddr mac = MacAddr::from_str("AA:BB:CC:00:11:22");
    send_cert_auth_ap("10.1.2.3", mac);
    g_ipc_port = &bed.port;
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::ERROR, mac, "Can't send SA_CERT_AUTH_AP"}}));
    EXPECT_TRUE(sent().empty());
}

}  // namespace
