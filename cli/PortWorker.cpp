#include "cli/PortWorker.h"

#include "link/QtSerialPort.h"
#include "platform/Timer.h"
#include "transfer/DownloadTransfer.h"
#include "transfer/UploadTransfer.h"

PortWorker::PortWorker(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
    , m_serial(std::make_unique<QtSerialPort>())
    , m_timer(std::make_unique<QtTimer>())
{
    // No boxes here: nothing runs inside another handler, so the transfer is
    // called straight, not through the windows' one-handler-at-a-time rule.
    if (setup.upload) {
        m_upload = std::make_unique<UploadTransfer>(*m_serial, m_timer.get());
        m_upload->setReplyTimeout(setup.timeoutMs, true);
        m_upload->setRemoveEmptyNewFile(true);
        watch(*m_upload);
        connect(m_upload.get(), &UploadTransfer::recordSaved, this,
                [this](const QByteArray &, qint64 n) { tellProgress(n, 0, 0); });
    } else {
        m_download = std::make_unique<DownloadTransfer>(*m_serial, *m_timer);
        // A reply trickling in byte by byte must not keep a dead dialogue alive.
        m_download->setReplyTimeout(setup.timeoutMs, true);
        watch(*m_download);
        connect(m_download.get(), &DownloadTransfer::lineSent, this,
                [this](const QByteArray &, qint64 n, qint64 done, qint64 size) { tellProgress(n, done, size); });
    }
}

PortWorker::~PortWorker() = default;

void PortWorker::start()
{
    if (m_upload)
        m_upload->begin(m_setup.path, m_setup.target, m_setup.mode);
    else
        m_download->begin(m_setup.path, m_setup.target);
    Q_EMIT begun();
}

template<class Transfer> void PortWorker::watch(Transfer &transfer)
{
    connect(m_serial.get(), &SerialPort::readyRead, &transfer, &Dialogue::portReadyRead);
    connect(&transfer, &Transfer::finished, this, [this, &transfer](const Outcome &o) {
        if (m_outcome)
            return;
        m_outcome = o;
        m_unfinished = transfer.RxBuffer();
        // Told once the handler that ended it has let go of what it holds.
        QMetaObject::invokeMethod(this, &PortWorker::conclude, Qt::QueuedConnection);
    });
}

void PortWorker::stop()
{
    if (m_outcome)
        return;
    if (m_upload)
        m_upload->stop();
    else
        m_download->stop();
}

void PortWorker::conclude()
{
    // A refusal or time-out leaves the port and file open (as the windows
    // want them); here it ends the transfer.
    if (m_outcome->kind == Outcome::Kind::Refused || m_outcome->kind == Outcome::Kind::TimedOut) {
        if (m_upload)
            m_upload->stop();
        else
            m_download->stop();
    }
    Q_EMIT finished(*m_outcome, m_unfinished);
}

void PortWorker::tellProgress(qint64 count, qint64 fileDone, qint64 fileSize)
{
    // A line drawn ten times a second needs no more news than that.
    if (!m_setup.progress || (m_lastProgress.isValid() && m_lastProgress.elapsed() < 100))
        return;
    m_lastProgress.start();
    Q_EMIT progress(count, fileDone, fileSize);
}
