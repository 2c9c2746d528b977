#pragma once
// Credentials from the controller for a registering authorized AP (message 2).

class IMsg;
class TrackedAps;

// Turns the AP's pending reply into the credentials reply. Only the tracked
// registry is consulted: APs without a certificate never get credentials.
void credentials_delivery(const IMsg& msg, TrackedAps& tracked);
