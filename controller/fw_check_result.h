#pragma once
// The controller's verdict on an AP's admission and firmware (message 137).

class IMsg;
class TrackedAps;

// Hands the verdict to the AP's data object, found in the tracked registry or,
// for an AP without a certificate, in the unauthorized one. No reply.
void fw_check_result(const IMsg& msg, TrackedAps& tracked);
