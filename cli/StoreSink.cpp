#include "cli/StoreSink.h"

#include <utility>

Error StoreSink::begin(const PortTarget &target)
{
    if (m_store.isOpen()) {
        m_store.beginTransfer();
        return {};
    }
    if (Error e = m_store.open(m_setup.destination, m_setup.table, m_setup.station, m_setup.port, target.device))
        return e;
    // A commit that got no answer counted as not made, so the terminal kept
    // the record; if it was made, the row is marked as one that may come
    // again, and its repeat is marked in turn.
    if (!m_uncertainTransfer.isEmpty() && m_store.canMark())
        m_store.markUnconfirmed(std::exchange(m_uncertainTransfer, QString()), m_uncertainNumber);
    return {};
}

Error StoreSink::write(const QByteArray &record, bool first)
{
    if (Error e = m_store.writeRecord(record)) {
        m_uncertainTransfer = m_store.transferId();
        m_uncertainNumber = m_store.recordsWritten() + 1;
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
