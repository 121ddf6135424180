#pragma once

#include "cli/CliRequest.h"
#include "cli/PortRig.h"
#include "link/PortNames.h"
#include "storage/RecordFile.h"
#include "transfer/Outcome.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

// One port's transfer in a thread of its own, so that one port's wait for the
// disk never holds up another port's answer. Made, run and destroyed in its
// thread; the runner hears of it, and asks it to stop, only through queued
// signals.
class PortWorker : public QObject
{
    Q_OBJECT
public:
    struct Setup
    {
        bool upload = true;
        QString path;
        PortTarget target;
        RecordFile::Mode mode = RecordFile::Mode::Create;  // upload
        CliRequest::Store store;                           // upload into a database
        int timeoutMs = 0;
        bool progress = false;  // someone shows it: progress() is worth sending
    };

    explicit PortWorker(const Setup &setup, QObject *parent = nullptr);

    /// Begins the transfer; finished() when it could not begin.
    void start();
    /// Ends the transfer between two messages (asked again: at once);
    /// finished(Stopped) follows, unless it has ended already.
    void stop();

Q_SIGNALS:
    /// Records saved or lines sent, and for a download the bytes of the file
    /// done and in all. Now and then, not for every record.
    void progress(qint64 count, qint64 fileDone, qint64 fileSize);
    /// Asked to stop while a line leaves: it ends once the line has left.
    void finishingLine();
    /// The transfer has ended and let go of its port and file.
    void finished(const Outcome &outcome);

private:
    void tellProgress(qint64 count, qint64 fileDone, qint64 fileSize);

    bool m_showProgress;
    QElapsedTimer m_lastProgress;
    Setup m_setup;
    PortRig m_rig;
};
