// Linked only into the test binary dor_sa_throwing: every 126 the dispatcher
// hands on ends in an exception, which must reach the process's entry.

#include <stdexcept>

class IMsg;
class IpcPort;

extern "C" void __wrap__Z23authenticate_ap_requestRK4IMsgR7IpcPort(const IMsg&, IpcPort&) {
    throw std::runtime_error("test-only failure of the 126 handler");
}
