// QtSerialPort and SetCommPort over a real pseudo-terminal.
#include "link/QtSerialPort.h"
#include "link/SetCommPort.h"
#include "tools/SimTerminal.h"
#include "support/WindowRig.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using simterm::SimTerminal;

namespace {

// The line settings as the kernel holds them for the device.
termios deviceSettings(const QString &path)
{
    termios t{};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        ::close(fd);
    }
    return t;
}
}

class TestSerialPort : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void setCommPortAppliesLinkSettings()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        const Error e = SetCommPort(port, PortTarget::com(1));
        QVERIFY2(e.ok(), qPrintable(e.description));
        QVERIFY(port.portOpen());
        QCOMPARE(port.settings(), QStringLiteral("115200,n,8,1"));
        QCOMPARE(port.handshaking(), Handshaking::RtsCts);
        const termios t = deviceSettings(term.slavePath());
        QCOMPARE(cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
        QVERIFY(t.c_cflag & CRTSCTS);
    }

    void refusedStepStopsAndOpenPortStaysUsable()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(SetCommPort(port, PortTarget::com(1)).ok());
        // The user chose COM2 meanwhile: the open port refuses the new number
        // and everything after it, and goes on as it was.
        const Error e = SetCommPort(port, PortTarget::com(2));
        QCOMPARE(e.number, ErrorNumber::PortAlreadyOpen);
        QCOMPARE(port.commPort(), 1);
        QVERIFY(port.portOpen());
        QVERIFY(port.output("READ\r").ok());
        QTRY_COMPARE(term.receivedBytes(), QByteArray("READ\r"));
    }

    void refusedFirstStepLeavesTheRestUndone()
    {
        QtSerialPort port;
        const QString before = port.settings();
        const Error e = SetCommPort(port, PortTarget{256, QStringLiteral("/dev/ttyS0")});
        QCOMPARE(e.number, ErrorNumber::InvalidPortNumber);
        QVERIFY(!e.description.isEmpty());
        QCOMPARE(port.settings(), before);
        QCOMPARE(port.handshaking(), Handshaking::None);
        QVERIFY(!port.portOpen());
    }

    void refusedOperationsChangeNothing()
    {
        QtSerialPort port;
        QVERIFY(port.setSettings(QStringLiteral("9600,e,7,2")).ok());
        QCOMPARE(port.setSettings(QStringLiteral("9600,q,8,1")).number, ErrorNumber::InvalidPropertyValue);
        QCOMPARE(port.settings(), QStringLiteral("9600,e,7,2"));
        QCOMPARE(port.setHandshaking(7).number, ErrorNumber::InvalidPropertyValue);
        QCOMPARE(port.handshaking(), Handshaking::None);
        QCOMPARE(port.output("X\r").number, ErrorNumber::PortNotOpen);
        QCOMPARE(port.setPortOpen(false).number, ErrorNumber::PortNotOpen);
    }

    void missingAndBusyDevicesAreTold()
    {
        qputenv("QUILLAN_COM1", "/dev/quillan-test-no-such-port");
        QtSerialPort missing;
        const Error gone = SetCommPort(missing, PortTarget::com(1));
        QCOMPARE(gone.number, ErrorNumber::InvalidPortNumber);
        QVERIFY(!gone.description.isEmpty());
        QCOMPARE(missing.deviceName(), QStringLiteral("/dev/quillan-test-no-such-port"));

        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort first;
        QtSerialPort second;
        QVERIFY(SetCommPort(first, PortTarget::com(1)).ok());
        const Error busy = SetCommPort(second, PortTarget::com(1));
        QCOMPARE(busy.number, ErrorNumber::PermissionDenied);
        QVERIFY(!busy.description.isEmpty());
        QVERIFY(first.portOpen());
    }

    void receivedBytesAreAnnouncedAndReadWhole()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(SetCommPort(port, PortTarget::com(1)).ok());
        QSignalSpy spy(&port, &SerialPort::onComm);
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        term.sendRaw(all);
        QTRY_COMPARE(port.inBufferCount(), qint64(256));
        QVERIFY(spy.count() >= 1);
        QCOMPARE(port.commEvent(), CommEvent::Receive);
        QCOMPARE(port.input(), all);
        QCOMPARE(port.input(), QByteArray());
    }

    void hangUpIsOneLostNotification()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(SetCommPort(port, PortTarget::com(1)).ok());
        int lost = 0;
        connect(&port, &SerialPort::onComm, this, [&] {
            if (port.commEvent() == CommEvent::Lost)
                ++lost;
        });
        term.hangUpNow(); // the adapter is pulled
        QTRY_COMPARE(lost, 1);
        QTest::qWait(100); // a flood would show here
        QCOMPARE(lost, 1);
        QVERIFY(!port.portOpen());
        QVERIFY(!port.lastFailure().ok());
    }

    void closingHandsQueuedBytesToTheLine()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(SetCommPort(port, PortTarget::com(1)).ok());
        const QByteArray big(200 * 1024, 'x');
        QVERIFY(port.output(big + "OVER\r").ok());
        QVERIFY(port.setPortOpen(false).ok()); // straight after the write, as the download ends
        QTRY_COMPARE(term.receivedBytes().size(), big.size() + 5);
        QVERIFY(term.receivedBytes().endsWith("OVER\r"));
    }
};

QTEST_MAIN(TestSerialPort)
#include "tst_serialport.moc"
