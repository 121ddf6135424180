#pragma once

#include "support/MemoryPort.h"
#include "support/ScriptedParts.h"
#include "transfer/DownloadTransfer.h"
#include "transfer/UploadTransfer.h"

#include <QList>

#include <type_traits>

// The one way a test runs a dialogue alone (UploadTransfer or
// DownloadTransfer): over the in-memory port, the download's reply timer
// fired by hand (the upload gets none), each outcome kept in ends as it is
// reported.
template <class Transfer>
struct MemoryRig
{
    static constexpr bool IsUpload = std::is_same_v<Transfer, UploadTransfer>;

    MemoryRig() : transfer(port, timerFor(timer))
    {
        QObject::connect(&transfer, &Dialogue::finished, &transfer, [this](const Outcome &o) { ends.append(o); });
    }

    /// begin() on the memory port; the upload takes a RecordFile::Mode too.
    template <typename... Mode> bool begin(const QString &path, Mode... mode)
    {
        return transfer.begin(path, PortTarget{1, QStringLiteral("memory")}, mode...);
    }

    MemoryPort port;
    ManualTimer timer;
    Transfer transfer;
    QList<Outcome> ends;

private:
    static decltype(auto) timerFor(ManualTimer &t)
    {
        if constexpr (IsUpload)
            return static_cast<Timer *>(nullptr);
        else
            return static_cast<Timer &>(t);
    }
};
