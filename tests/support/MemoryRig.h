#pragma once

#include "support/MemoryPort.h"
#include "support/ScriptedParts.h"
#include "gui/HandlerGate.h"
#include "transfer/Transfer.h"

#include <QList>

// The one way a test runs a transfer alone, as the windows have it (their
// policy and their gate, so that what arrives while a handler of finished()
// runs waits for it): over the in-memory port, the download's reply timer
// fired by hand (the upload gets none), each outcome kept in ends as it is
// reported.
template <Outcome::Direction Direction>
struct MemoryRig
{
    static constexpr bool IsUpload = Direction == Outcome::Direction::Upload;

    explicit MemoryRig(Transfer::Policy policy = Transfer::Policy::Window)
        : transfer(Direction, policy, port, IsUpload ? nullptr : &timer)
        , gate(transfer)
    {
        QObject::connect(&transfer, &Transfer::finished, &transfer, [this](const Outcome &o) { ends.append(o); });
    }

    /// begin() on the memory port.
    bool begin(const QString &path, RecordFile::Mode mode = RecordFile::Mode::Create)
    {
        return transfer.begin(path, PortTarget{1, QStringLiteral("memory")}, mode);
    }

    MemoryPort port;
    ManualTimer timer;
    Transfer transfer;
    HandlerGate gate;
    QList<Outcome> ends;
};

using UploadRig = MemoryRig<Outcome::Direction::Upload>;
using DownloadRig = MemoryRig<Outcome::Direction::Download>;
