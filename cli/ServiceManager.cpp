#include "cli/ServiceManager.h"

#ifdef QUILLAN_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <algorithm>

void notifyServiceManager(const char *state)
{
    sd_notify(0, state);
}

int watchdogIntervalMs()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return 0;
    // Twice within the manager's limit, as sd_watchdog_enabled(3) advises.
    return int(std::max<uint64_t>(usec / 2000, 1));
}
#else
void notifyServiceManager(const char *)
{
}

int watchdogIntervalMs()
{
    return 0;
}
#endif
