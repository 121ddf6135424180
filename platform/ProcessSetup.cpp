#include "platform/ProcessSetup.h"

#include <csignal>

void setUpProcess()
{
#ifdef SIGXFSZ
    // Past a file size limit a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // A log or standard error whose reader went away: an error, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}
