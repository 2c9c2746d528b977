#include <exception>

#include "app/service.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

// What the controller's supervisor reads as "ended by a fault".
constexpr int kExceptionStatus = 255;

}  // namespace

// Everything the process does, its set-up included, runs inside this try: an
// exception that nobody handled ends the process here, logged.
int main(int argc, char** argv) {
    try {
        return sa_main(argc, argv);
    } catch (const std::exception& e) {
        sa_trace.error("SYSTEM: Got exception: %s", e.what());
    } catch (...) {
        sa_trace.error("SYSTEM: Got exception: UNKNOWN");
    }
    return kExceptionStatus;
}
