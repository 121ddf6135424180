#include "cli/PortWorker.h"

#include "link/QtSerialPort.h"
#ifdef QUILLAN_HAVE_STORE
#include "cli/StoreSink.h"
#endif
#include "platform/Timer.h"
#include "transfer/RecordSink.h"
#include "transfer/Transfer.h"

PortWorker::PortWorker(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_showProgress(setup.progress)
    , m_serial(std::make_unique<QtSerialPort>())
    , m_timer(std::make_unique<QtTimer>())
    , m_transfer(std::make_unique<Transfer>(setup.upload ? Outcome::Direction::Upload : Outcome::Direction::Download,
                                            Transfer::Policy::Command, *m_serial, m_timer.get()))
    , m_setup(setup)
{
#ifdef QUILLAN_HAVE_STORE
    if (setup.upload && !setup.store.destination.isEmpty()) {
        m_sink = std::make_unique<StoreSink>(setup.store);
        m_transfer->setSink(m_sink.get());
    }
#endif
    connect(m_transfer.get(), &Transfer::recordSaved, this, [this](const QByteArray &, qint64 n) { tellProgress(n, 0, 0); });
    connect(m_transfer.get(), &Transfer::lineSent, this,
            [this](const QByteArray &, qint64 n, qint64 done, qint64 size) { tellProgress(n, done, size); });
    m_transfer->setReplyTimeout(setup.timeoutMs);
    connect(m_transfer.get(), &Transfer::finished, this, &PortWorker::finished);
}

PortWorker::~PortWorker() = default;

void PortWorker::start()
{
    m_transfer->begin(m_setup.path, m_setup.target, m_setup.mode);
}

void PortWorker::stop()
{
    m_transfer->stop();
    if (m_transfer->state() == Transfer::State::Ending || m_transfer->state() == Transfer::State::AwaitingLastAck)
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
