#include "cli/StoreSink.h"

Error StoreSink::begin(const PortTarget &target)
{
    if (m_store.isOpen()) {
        m_store.beginTransfer();
        return {};
    }
    return m_store.open(m_setup.destination, m_setup.table, m_setup.station, m_setup.port, target.device);
}

Error StoreSink::write(const QByteArray &record, bool first)
{
    if (Error e = m_store.writeRecord(record)) {
        // The connection may be gone: the next transfer makes it again.
        m_store.close();
        return e;
    }
    // A row that may repeat the last one the terminal was not heard to
    // delete is marked for a reader; the record itself is in either way.
    if (first && m_store.canMark())
        m_store.markRepeat();
    return {};
}

void StoreSink::unconfirmed()
{
    if (m_store.isOpen() && m_store.canMark())
        m_store.markUnconfirmed();
}

QString StoreSink::shown() const
{
    return m_store.isOpen() ? m_store.shown() : RecordStore::redacted(m_setup.destination);
}
