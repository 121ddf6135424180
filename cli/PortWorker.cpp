#include "cli/PortWorker.h"

#include "link/QtSerialPort.h"
#ifdef QUILLAN_HAVE_STORE
#include "cli/StoreSink.h"
#endif
#include "platform/Timer.h"
#include "transfer/DownloadTransfer.h"
#include "transfer/RecordSink.h"
#include "transfer/UploadTransfer.h"

PortWorker::PortWorker(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_showProgress(setup.progress)
    , m_serial(std::make_unique<QtSerialPort>())
    , m_timer(std::make_unique<QtTimer>())
{
    if (setup.upload) {
        auto upload = std::make_unique<UploadTransfer>(*m_serial, m_timer.get());
        upload->setRemoveEmptyNewFile(true);
#ifdef QUILLAN_HAVE_STORE
        if (!setup.store.destination.isEmpty()) {
            m_sink = std::make_unique<StoreSink>(setup.store);
            upload->setSink(m_sink.get());
        }
#endif
        connect(upload.get(), &UploadTransfer::recordSaved, this,
                [this](const QByteArray &, qint64 n) { tellProgress(n, 0, 0); });
        m_begin = [u = upload.get(), setup] { u->begin(setup.path, setup.target, setup.mode); };
        m_dialogue = std::move(upload);
    } else {
        auto download = std::make_unique<DownloadTransfer>(*m_serial, *m_timer);
        connect(download.get(), &DownloadTransfer::lineSent, this,
                [this](const QByteArray &, qint64 n, qint64 done, qint64 size) { tellProgress(n, done, size); });
        m_begin = [d = download.get(), setup] { d->begin(setup.path, setup.target); };
        m_dialogue = std::move(download);
    }
    // A reply trickling in byte by byte must not keep a dead dialogue alive,
    // and a refusal or time-out ends the transfer with its port and file.
    m_dialogue->setReplyTimeout(setup.timeoutMs, ReplyTimeout::Rule::Silence);
    m_dialogue->setHalt(Dialogue::Halt::End);
    connect(m_dialogue.get(), &Dialogue::finished, this, &PortWorker::finished);
}

PortWorker::~PortWorker() = default;

void PortWorker::start()
{
    m_begin();
}

void PortWorker::stop()
{
    m_dialogue->stop();
    if (m_dialogue->state() == Dialogue::State::Ending || m_dialogue->state() == Dialogue::State::AwaitingLastAck)
        Q_EMIT finishingLine();
}

void PortWorker::tellProgress(qint64 count, qint64 fileDone, qint64 fileSize)
{
    // A line drawn ten times a second needs no more news than that.
    if (!m_showProgress || (m_lastProgress.isValid() && m_lastProgress.elapsed() < 100))
        return;
    m_lastProgress.start();
    Q_EMIT progress(count, fileDone, fileSize);
}
