#include "cli/PortWorker.h"

PortWorker::PortWorker(const Setup &setup, QObject *parent)
    : QObject(parent)
    , m_showProgress(setup.progress)
    , m_setup(setup)
    , m_rig(setup.upload ? Outcome::Direction::Upload : Outcome::Direction::Download, Transfer::Policy::Command,
            setup.timeoutMs, setup.store)
{
    connect(&m_rig.transfer, &Transfer::recordSaved, this, [this](const QByteArray &, qint64 n) { tellProgress(n, 0, 0); });
    connect(&m_rig.transfer, &Transfer::lineSent, this,
            [this](const QByteArray &, qint64 n, qint64 done, qint64 size) { tellProgress(n, done, size); });
    connect(&m_rig.transfer, &Transfer::finished, this, &PortWorker::finished);
}

void PortWorker::start()
{
    m_rig.transfer.begin(m_setup.path, m_setup.target, m_setup.mode);
}

void PortWorker::stop()
{
    m_rig.transfer.stop();
    if (m_rig.transfer.state() == Transfer::State::Ending || m_rig.transfer.state() == Transfer::State::AwaitingLastAck)
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
