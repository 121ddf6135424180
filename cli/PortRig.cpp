#include "cli/PortRig.h"

#ifdef QUILLAN_HAVE_STORE
#include "cli/StoreSink.h"
#endif

PortRig::PortRig(Outcome::Direction direction, Transfer::Policy policy, int timeoutMs, const CliRequest::Store &store)
    : transfer(direction, policy, serial, &timer)
{
    transfer.setReplyTimeout(timeoutMs);
#ifdef QUILLAN_HAVE_STORE
    if (!store.destination.isEmpty()) {
        sink = std::make_unique<StoreSink>(store);
        transfer.setSink(sink.get());
    }
#else
    Q_UNUSED(store);
#endif
}
