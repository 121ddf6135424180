#include "transfer/Dialogue.h"

#include "link/Framing.h"
#include "link/SerialPort.h"
#include "platform/Timer.h"
#include "transfer/Messages.h"

Dialogue::Dialogue(SerialPort &port, Timer *timer, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timeout(timer)
    , m_dispatch(port, [this](int event) { handleComm(event); })
{
    connect(&m_port, &SerialPort::onComm, this, &Dialogue::MSComm1_OnComm);
    connect(&m_port, &SerialPort::sent, this, [this] {
        m_timeout.progressed();
        m_stalled = false;
    });
    if (timer)
        connect(timer, &Timer::tick, this, &Dialogue::tick);
}

void Dialogue::MSComm1_OnComm()
{
    m_dispatch.notify();
}

void Dialogue::tick()
{
    // A tick while one of the front end's boxes is open is dropped: one
    // "Timed Out !!" at a time, and no handler runs inside another.
    if (m_dispatch.busy())
        return;
    m_dispatch.run([this] { handleTick(); });
}

void Dialogue::setReplyTimeout(int ms, bool untilSilence)
{
    m_timeout.setTimeoutMs(ms, untilSilence ? ReplyTimeout::Rule::Silence : ReplyTimeout::Rule::Ticks);
}

void Dialogue::prepare(const PortTarget &target)
{
    m_recordCount = 0;
    m_bytes = 0;
    m_target = target;
    m_state = TransferState::Idle;
    m_stalled = false;
    m_timeout.stop();
}

void Dialogue::handleComm(int event)
{
    if (event == CommEvent::Lost) {
        if (!transferOpen())
            return;
        const Error why = m_port.lastFailure();
        fail(Outcome::Kind::Lost, Messages::connectionLost(why) + QLatin1String("\n\n") + movedSoFar(), why);
        return;
    }
    if (event != CommEvent::Receive)
        return;
    const QByteArray input = m_port.input();
    if (input.isEmpty())
        return; // nothing new: a replayed notification whose bytes were taken
    if (m_timeout.rule() == ReplyTimeout::Rule::Ticks)
        m_timeout.stop();
    else
        m_timeout.heard();
    if (!assembleReply(m_rxBuffer, input))
        return;
    m_timeout.stop();
    handleReply();
}

void Dialogue::handleTick()
{
    const ReplyTimeout::Verdict verdict = m_timeout.count(sending() || m_port.bytesToWrite() > 0);
    if (verdict == ReplyTimeout::Verdict::Wait)
        return;
    if (verdict == ReplyTimeout::Verdict::Silent && m_timeout.rule() == ReplyTimeout::Rule::Ticks
        && !m_rxBuffer.isEmpty())
        return;
    m_state = TransferState::TimedOut;
    if (verdict == ReplyTimeout::Verdict::Stalled) {
        m_stalled = true;
        const QString waited = QString::number(m_timeout.timeoutMs() / 1000.0, 'g', 6);
        finish(Outcome::Kind::TimedOut,
               tr("The terminal stopped taking data: nothing could be sent to it for %1 s.").arg(waited)
                   + QLatin1String("\n\n") + movedSoFar(),
               {}, Outcome::Reason::Stalled);
    } else {
        finish(Outcome::Kind::TimedOut, QStringLiteral("Timed Out !!"));
    }
    m_timeout.stop();
    m_timeout.resetTicks();
}

void Dialogue::fail(Outcome::Kind kind, const QString &message, const Error &error)
{
    // Nothing more goes out: a dead line, or a record the terminal must keep.
    m_timeout.stop();
    m_port.abortPort();
    release();
    m_rxBuffer.clear();
    m_state = TransferState::Idle;
    finish(kind, message, error);
}

void Dialogue::stop()
{
    const bool underWay = transferOpen();
    m_timeout.stop();
    release();
    // Bytes a terminal stopped taking would hold the close for as long as
    // the system waits for them.
    if (m_stalled && m_port.portOpen())
        m_port.abortPort();
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    m_state = TransferState::Idle;
    if (underWay)
        finish(Outcome::Kind::Stopped, tr("The transfer was stopped."));
}

void Dialogue::finish(Outcome::Kind kind, const QString &message, const Error &error, Outcome::Reason reason)
{
    Q_EMIT finished(Outcome{kind, m_recordCount, m_bytes, message, error, reason});
}
