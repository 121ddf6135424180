#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

// SIGINT, SIGTERM and SIGHUP delivered through the event loop: the signal handler
// only writes a byte to a pipe, so what the signal means runs between two
// handlers of the dialogue, never inside one. One watch per process.
class SignalWatch : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatch(QObject *parent = nullptr);
    ~SignalWatch() override;

Q_SIGNALS:
    /// Once for each kind of signal in every batch the loop sees.
    void caught(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_poll = nullptr;
};
