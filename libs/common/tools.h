#pragma once
// Small text helpers shared by the controller's processes.

#include <memory>
#include <string>
#include <vector>

#include "registry/addr.h"

namespace tools {

// Splits `text` on `separator` and parses each token as a MAC (colon or bare
// form, either case). Blanks around a token are ignored; empty tokens and
// tokens that are not MACs are skipped. Order and duplicates are kept.
std::vector<MacAddr> string_to_macs(const std::string& text, char separator);
// IPC strings may travel as nil: an empty pointer is empty text.
std::vector<MacAddr> string_to_macs(const std::shared_ptr<std::string>& text, char separator);

}  // namespace tools
