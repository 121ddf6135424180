#pragma once

#include "cli/CliRequest.h"
#include "storage/RecordStore.h"
#include "transfer/RecordSink.h"

// An upload's records as rows of a database table (RecordStore), each
// committed before the terminal is told to delete it. The connection is
// made before the first transfer and kept for the next; one that failed is
// made again by the next transfer. Made and used in one thread.
class StoreSink final : public RecordSink
{
public:
    using Setup = CliRequest::Store;
    explicit StoreSink(const Setup &setup)
        : m_setup(setup)
    {
    }

    Error begin(const PortTarget &target) override;
    Error write(const QByteArray &record, bool first) override;
    void unconfirmed() override;
    QString shown() const override;

private:
    Setup m_setup;
    RecordStore m_store;
    // The record whose commit failed, perhaps committed all the same.
    QString m_uncertainTransfer;
    qint64 m_uncertainNumber = 0;
};
