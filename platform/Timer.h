#pragma once

#include <QObject>
#include <QTimer>

// A window's interval timer; tick() fires every interval() ms while active.
class Timer : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;
    /// One tick per start(), not one every interval.
    virtual void setSingleShot(bool once) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;

Q_SIGNALS:
    void tick();
};

class QtTimer final : public Timer
{
    Q_OBJECT
public:
    explicit QtTimer(QObject *parent = nullptr) : Timer(parent)
    {
        connect(&m_timer, &QTimer::timeout, this, &Timer::tick);
    }
    void setInterval(int ms) override { m_timer.setInterval(ms); }
    int interval() const override { return m_timer.interval(); }
    void setSingleShot(bool once) override { m_timer.setSingleShot(once); }
    void start() override { m_timer.start(); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};
