#pragma once

// What a service tells the service manager (systemd's sd_notify on Linux;
// nothing elsewhere, or when not started by one).

/// Sends state, e.g. "READY=1", "WATCHDOG=1", "STOPPING=1".
void notifyServiceManager(const char *state);
/// How often the manager wants to hear WATCHDOG=1, in ms; 0: it does not.
int watchdogIntervalMs();
