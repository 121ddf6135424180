#pragma once

#include "link/PortNames.h"
#include "storage/RecordFile.h"
#include "transfer/Outcome.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class DownloadTransfer;
class QtSerialPort;
class QtTimer;
class UploadTransfer;

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
        int timeoutMs = 0;
        bool progress = false;  // someone shows it: progress() is worth sending
    };

    explicit PortWorker(const Setup &setup, QObject *parent = nullptr);
    ~PortWorker() override;

    /// Begins the transfer; begun(), and finished() when it could not begin.
    void start();

    /// Ends the transfer where it stands; finished(Stopped) follows, unless it
    /// has ended already.
    void stop();

Q_SIGNALS:
    /// The transfer has begun: a stop asked for from now on reaches it.
    void begun();
    /// Records saved or lines sent, and for a download the bytes of the file
    /// done and in all. Now and then, not for every record.
    void progress(qint64 count, qint64 fileDone, qint64 fileSize);
    /// The transfer has ended and let go of its port and file. unfinished: what
    /// had arrived of a reply without its CR.
    void finished(const Outcome &outcome, const QByteArray &unfinished);

private:
    template<class Transfer> void watch(Transfer &transfer);
    void conclude();
    void tellProgress(qint64 count, qint64 fileDone, qint64 fileSize);

    Setup m_setup;
    QElapsedTimer m_lastProgress;
    // Destroyed in this order: the transfer, then what it uses.
    std::unique_ptr<QtSerialPort> m_serial;
    std::unique_ptr<QtTimer> m_timer;
    std::unique_ptr<UploadTransfer> m_upload;
    std::unique_ptr<DownloadTransfer> m_download;
    std::optional<Outcome> m_outcome;  // the first way it ended; a later Stopped is our own stop()
    QByteArray m_unfinished;
};
