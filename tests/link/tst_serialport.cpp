// QtSerialPort over a real pseudo-terminal.
#include "link/PortAssignment.h"
#include "link/PortDiagnosis.h"
#include "link/QtSerialPort.h"
#include "tools/SimTerminal.h"
#include "wording/Messages.h"
#include "support/ManualTerminal.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
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

// Run as a child with QUILLAN_TEST_HOLD=device: another program holding the
// port the way any Qt program does, until its stdin closes.
int holdPort(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QSerialPort port(qEnvironmentVariable("QUILLAN_TEST_HOLD"));
    QtSerialPort ours; // QUILLAN_TEST_HOLD_OURS: this program in another process
    if (qEnvironmentVariableIsSet("QUILLAN_TEST_HOLD_OURS")) {
        if (!ours.open(PortTarget{0, qEnvironmentVariable("QUILLAN_TEST_HOLD")}).ok())
            return 1;
    } else if (!port.open(QIODevice::ReadWrite)) {
        return 1;
    }
    QFile out;
    out.open(stdout, QIODevice::WriteOnly);
    out.write("held\n");
    out.flush();
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    in.readAll();
    return 0;
}

enum class Situation {
    Missing, RegularFile, Folder, NotATerminal, HeldByUs, HeldByUsUnderAnotherName, HeldByOtherPort,
    HeldByOther, HeldByOtherUnderAnotherName, Forbidden, OwnerOnly,
    // As Windows reports them: no POSIX look-ups, the system's text ending in a period.
    WindowsMissing, WindowsAccessDenied
};
}

class TestSerialPort : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase()
    {
        // Assignments made here must not outlive the test.
        QVERIFY(m_config.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config.path());
    }

    void assignmentLastsAndEnvironmentWins()
    {
        SimTerminal term({}, manualTerminal());
        QString stored;
        QVERIFY(PortAssignment::assign(2, term.slavePath(), &stored).ok());
        QCOMPARE(stored, term.slavePath()); // a pty has no stable by-id name
        QVERIFY(QFile::exists(m_config.filePath(QStringLiteral("quillan/ports.conf"))));
        QCOMPARE(deviceForComPort(2), term.slavePath());
        {
            QtSerialPort port;
            const Error e = port.open(PortTarget::com(2)); // DTR, unsupported on a pty, is no error
            QVERIFY2(e.ok(), qPrintable(e.description));
            QCOMPARE(port.device(), term.slavePath());
            QVERIFY(port.write("READ\r").ok());
            // Handed to the system at once: the terminal has it while the event loop stands still.
            QDeadlineTimer arrives(5000);
            while (term.receivedBytes().isEmpty() && !arrives.hasExpired())
                QThread::msleep(2);
            QCOMPARE(term.receivedBytes(), QByteArray("READ\r"));
        }
        qputenv("QUILLAN_COM2", "/dev/quillan-test-override");
        QCOMPARE(deviceForComPort(2), QStringLiteral("/dev/quillan-test-override"));
        qunsetenv("QUILLAN_COM2");
        QVERIFY(PortAssignment::clear(2).ok());
        QCOMPARE(deviceForComPort(2), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(PortAssignment::assign(256, term.slavePath()).kind, Error::Kind::NotFound);
        // A bare name is under /dev: tty is /dev/tty (no serial line: refused),
        // ttyS0 is /dev/ttyS0 where that exists.
        const Error tty = PortAssignment::assign(12, QStringLiteral("tty"), &stored);
        QVERIFY2(tty.description.startsWith(QLatin1String("/dev/tty is not a serial port")), qPrintable(tty.description));
        QVERIFY(PortAssignment::assign(12, QStringLiteral("ttyS0"), &stored).ok());
        const QString ttyS0 = QFileInfo::exists(QStringLiteral("/dev/ttyS0"))
                                  ? QStringLiteral("/dev/ttyS0")
                                  : QDir::current().filePath(QStringLiteral("ttyS0"));
        QCOMPARE(stored, ttyS0);
        QCOMPARE(deviceForComPort(12), ttyS0);
        QCOMPARE(PortAssignment::assignedNumbers(), QList<int>{12});
        QVERIFY(PortAssignment::clear(12).ok());
        // Not a serial port: refused, nothing stored.
        QCOMPARE(PortAssignment::assign(13, QStringLiteral("/dev/null")).kind, Error::Kind::InvalidValue);
        QCOMPARE(PortAssignment::assign(13, m_config.path()).kind, Error::Kind::InvalidValue);
        QVERIFY(PortAssignment::assignedDevice(13).isEmpty());
        {
            // A name relative to the folder it was given in is stored absolute,
            // the link itself kept: from any other folder it is the same device.
            QTemporaryDir here;
            QVERIFY(QFile::link(term.slavePath(), here.filePath(QStringLiteral("dock"))));
            const QString before = QDir::currentPath();
            QDir::setCurrent(here.path());
            const Error e = PortAssignment::assign(14, QStringLiteral("dock"), &stored);
            QDir::setCurrent(before);
            QVERIFY2(e.ok(), qPrintable(e.description));
            QCOMPARE(stored, here.filePath(QStringLiteral("dock")));
            QVERIFY(PortAssignment::clear(14).ok());
        }

        // An adapter with a stable name is stored by it.
        QTemporaryDir byId;
        const QString link = byId.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"));
        QVERIFY(QFile::link(term.slavePath(), link));
        QCOMPARE(PortAssignment::stablePath(term.slavePath(), byId.path()), link);
        QCOMPARE(PortAssignment::stablePath(QStringLiteral("/dev/null"), byId.path()), QStringLiteral("/dev/null"));
    }

    void openFailureSaysWhatToDo_data()
    {
        QTest::addColumn<Situation>("situation");
        QTest::addColumn<bool>("portsListed");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QStringList>("notSaid");
        const QStringList permission{QStringLiteral("adduser"), QStringLiteral("dialout"), QStringLiteral("ModemManager")};
        QTest::newRow("missing") << Situation::Missing << true
                                 << QStringList{"does not exist", "\n    /dev/ttyUSB0 - FT232R USB UART, FTDI\n",
                                                "\n    quillan-cli ports --assign COM1 /dev/ttyUSB0"}
                                 << permission;
        QTest::newRow("missing, none found") << Situation::Missing << false
                                             << QStringList{"No serial devices were found"}
                                             << QStringList{"--assign"};
        QTest::newRow("regular file") << Situation::RegularFile << false
                                      << QStringList{"is not a serial port: it is a regular file."} << permission;
        QTest::newRow("folder") << Situation::Folder << false
                                << QStringList{"is not a serial port: it is a folder."} << permission;
        QTest::newRow("/dev/null") << Situation::NotATerminal << false
                                   << QStringList{"/dev/null is not a serial port: it is a device of another kind."}
                                   << permission;
        QTest::newRow("other window") << Situation::HeldByUs << false
                                      << QStringList{"The other transfer window of this program has"}
                                      << permission;
        // Root passes TIOCEXCL and the lock files go by the name given: the
        // lock on the device itself refuses the second name.
        QTest::newRow("other window, another name") << Situation::HeldByUsUnderAnotherName << false
                                                    << QStringList{"The other transfer window of this program has"}
                                                    << permission;
        QTest::newRow("other port of quillan-cli") << Situation::HeldByOtherPort << false
                                                   << QStringList{"is held by another transfer of this same run: "
                                                                  "another -p names the same device (/dev/pts/"}
                                                   << (permission + QStringList{"window"});
        QTest::newRow("other program, another name") << Situation::HeldByOtherUnderAnotherName << false
                                                     << QStringList{"is in use by tst_serialport (process "}
                                                     << (permission + QStringList{"window"});
        QTest::newRow("other program") << Situation::HeldByOther << false
                                       << QStringList{"is in use by tst_serialport (process "} << permission;
        QTest::newRow("permission") << Situation::Forbidden << false
                                    << QStringList{"belongs to the group uucp", "\n    sudo adduser $USER uucp\n",
                                                   "log in again"}
                                    << QStringList{"dialout", "in use", "ModemManager"};
        QTest::newRow("owner only") << Situation::OwnerOnly << false
                                    << QStringList{"only root may (group root)"}
                                    << QStringList{"adduser", "in use", "ModemManager"};
        QTest::newRow("Windows: no such port") << Situation::WindowsMissing << true
                                               << QStringList{"COM42 does not exist", "\n    /dev/ttyUSB0 - FT232R",
                                                              "quillan-cli ports --assign COM1 /dev/ttyUSB0"}
                                               << QStringList{"..", "adduser", "in use"};
        // Windows refuses a COM port another program has open as access denied.
        QTest::newRow("Windows: access denied") << Situation::WindowsAccessDenied << false
                                                << QStringList{"COM42 is in use by another program"}
                                                << QStringList{"..", "adduser", "group", "ModemManager"};
    }

    void openFailureSaysWhatToDo()
    {
        QFETCH(Situation, situation);
        QFETCH(bool, portsListed);
        QFETCH(QStringList, said);
        QFETCH(QStringList, notSaid);
        SimTerminal term({}, manualTerminal());
        QTemporaryDir dir;
        PortDiagnosis::Lookups lookups = PortDiagnosis::Lookups::local();
        lookups.modemManagerRunning = [] { return true; }; // it concerns ttyACM devices only
        QString device = term.slavePath();
        QtSerialPort holder;
        QProcess other;
        // How each front end words its own other transfer holding the port.
        QString heldHere = QStringLiteral("The other transfer window of this program has %1 open.");
        switch (situation) {
        case Situation::Missing: device = QStringLiteral("/dev/quillan-test-no-such-port"); break;
        case Situation::RegularFile:
            device = dir.filePath(QStringLiteral("records.txt"));
            QVERIFY(QFile(device).open(QIODevice::WriteOnly));
            break;
        case Situation::Folder: device = dir.path(); break;
        case Situation::NotATerminal: device = QStringLiteral("/dev/null"); break;
        case Situation::HeldByUs: QVERIFY(holder.open(PortTarget{0, device}).ok()); break;
        case Situation::HeldByUsUnderAnotherName:
        case Situation::HeldByOtherPort:
            QVERIFY(QFile::link(device, dir.filePath(QStringLiteral("dock"))));
            QVERIFY(holder.open(PortTarget{0, dir.filePath(QStringLiteral("dock"))}).ok());
            if (situation == Situation::HeldByOtherPort)
                heldHere = QStringLiteral("%1 is held by another transfer of this same run: another -p names the "
                                          "same device (%2).");
            break;
        case Situation::HeldByOther:
        case Situation::HeldByOtherUnderAnotherName: {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            QString held = device;
            if (situation == Situation::HeldByOtherUnderAnotherName) {
                held = dir.filePath(QStringLiteral("dock"));
                QVERIFY(QFile::link(device, held));
                env.insert(QStringLiteral("QUILLAN_TEST_HOLD_OURS"), QStringLiteral("1"));
            }
            env.insert(QStringLiteral("QUILLAN_TEST_HOLD"), held);
            other.setProcessEnvironment(env);
            other.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(other.waitForReadyRead(10000));
            QCOMPARE(other.readLine(), QByteArray("held\n"));
            said.append(QStringLiteral("(process %1: ").arg(other.processId()));
            break;
        }
        case Situation::Forbidden:
        case Situation::OwnerOnly: {
            // Root opens anything: be a user outside the device's group.
            const group *uucp = ::getgrnam("uucp");
            QVERIFY(uucp);
            const bool ownerOnly = situation == Situation::OwnerOnly;
            const QByteArray path = QFile::encodeName(device);
            QVERIFY(::chown(path.constData(), 0, ownerOnly ? 0 : uucp->gr_gid) == 0);
            QVERIFY(::chmod(path.constData(), ownerOnly ? 0600 : 0660) == 0);
            lookups.userId = [] { return 65534u; };
            lookups.userGroups = [] { return QList<unsigned>{65534u}; };
            break;
        }
        case Situation::WindowsMissing:
        case Situation::WindowsAccessDenied: lookups = {}; device = QStringLiteral("COM42"); break;
        }
        QtSerialPort port;
        Error error;
        if (situation == Situation::WindowsMissing)
            error = {Error::Kind::NotFound, QStringLiteral("The system cannot find the file specified.")};
        else if (situation == Situation::WindowsAccessDenied)
            error = {Error::Kind::PermissionDenied, QStringLiteral("Access is denied.")};
        else
            error = port.open(PortTarget{1, device});
        if (situation == Situation::Forbidden || situation == Situation::OwnerOnly) {
            QVERIFY(error.ok());
            port.close();
            error = {Error::Kind::PermissionDenied, QStringLiteral("Permission denied")};
        }
        QVERIFY(!error.ok());
        const QList<SerialPortListing> ports{
            {QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FT232R USB UART"), QStringLiteral("FTDI"), {}, {}, {}, {}}};
        const QString text = Messages::cannotOpenPort(PortTarget{1, device}, error,
                                                      PortDiagnosis::diagnose(device, error.kind, lookups),
                                                      portsListed ? ports : QList<SerialPortListing>{}, heldHere);
        QString reason = error.description;
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        QVERIFY2(text.startsWith(QStringLiteral("Cannot open COM1 (%1): %2.\n\n").arg(device, reason)), qPrintable(text));
        for (const QString &s : said)
            QVERIFY2(text.contains(s), qPrintable(text));
        for (const QString &s : notSaid)
            QVERIFY2(!text.contains(s), qPrintable(text));
        other.closeWriteChannel();
        other.waitForFinished(5000);
    }

    void modemManagerIsNamedForTtyAcm()
    {
        SimTerminal term({}, manualTerminal());
        QTemporaryDir dir;
        const QString acm = dir.filePath(QStringLiteral("ttyACM0"));
        QVERIFY(QFile::link(term.slavePath(), acm));
        // ModemManager takes no lock file; our open meets its TIOCEXCL.
        const Error error{Error::Kind::PermissionDenied, QStringLiteral("Device or resource busy")};
        PortDiagnosis::Lookups lookups = PortDiagnosis::Lookups::local();
        lookups.modemManagerRunning = [] { return true; };
        const QString text = Messages::cannotOpenPort(PortTarget{1, acm}, error,
                                                      PortDiagnosis::diagnose(acm, error.kind, lookups),
                                                      {{acm, {}, {}, {}, QStringLiteral("2341:0043"), {}, {}}});
        QVERIFY2(text.contains(QStringLiteral("ModemManager is running and may be probing ") + acm), qPrintable(text));
        QVERIFY2(text.contains("ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("sudo systemctl stop ModemManager")));
        QVERIFY2(text.contains(QStringLiteral("in use by another program")), qPrintable(text));
    }

    void lostConnectionIsExplained_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("said");
        const QString lost = QStringLiteral("The connection to the terminal was lost: the device stopped answering or was unplugged");
        QTest::newRow("unknown") << "Unknown error" << lost + ".";
        QTest::newRow("stale errno") << "Inappropriate ioctl for device" << lost + ".";
        QTest::newRow("telling") << "Input/output error" << lost + " (Input/output error).";
    }

    void lostConnectionIsExplained()
    {
        QFETCH(QString, reason);
        QFETCH(QString, said);
        QCOMPARE(Messages::connectionLost({Error::Kind::Io, reason}), said);
    }
    void openAppliesLinkSettings()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        const Error e = port.open(PortTarget::com(1));
        QVERIFY2(e.ok(), qPrintable(e.description));
        QVERIFY(port.isOpen());
        const termios t = deviceSettings(term.slavePath());
        QCOMPARE(cfgetospeed(&t), speed_t(B115200));
        QCOMPARE(cfgetispeed(&t), speed_t(B115200));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
        QVERIFY(t.c_cflag & CRTSCTS);
    }

    void openPortRefusesAnotherOpenAndStaysUsable()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(port.open(PortTarget::com(1)).ok());
        // The user chose COM2 meanwhile: the open port refuses it and goes on
        // as it was.
        const Error e = port.open(PortTarget{2, QStringLiteral("/dev/ttyS1")});
        QCOMPARE(e.kind, Error::Kind::PortAlreadyOpen);
        QCOMPARE(port.device(), term.slavePath());
        QVERIFY(port.isOpen());
        QVERIFY(port.write("READ\r").ok());
        QTRY_COMPARE(term.receivedBytes(), QByteArray("READ\r"));
    }

    void closedPortRefusesWrites()
    {
        QtSerialPort port;
        QCOMPARE(port.write("X\r").kind, Error::Kind::PortNotOpen);
        port.close();
        QVERIFY(!port.isOpen());
    }

    void missingAndBusyDevicesAreTold()
    {
        qputenv("QUILLAN_COM1", "/dev/quillan-test-no-such-port");
        QtSerialPort missing;
        const Error gone = missing.open(PortTarget::com(1));
        QCOMPARE(gone.kind, Error::Kind::NotFound);
        QVERIFY(!gone.description.isEmpty());
        QCOMPARE(missing.device(), QStringLiteral("/dev/quillan-test-no-such-port"));

        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort first;
        QtSerialPort second;
        QVERIFY(first.open(PortTarget::com(1)).ok());
        const Error busy = second.open(PortTarget::com(1));
        QCOMPARE(busy.kind, Error::Kind::PermissionDenied);
        QVERIFY(!busy.description.isEmpty());
        QVERIFY(first.isOpen());
    }

    void receivedBytesAreAnnouncedAndReadWhole()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(port.open(PortTarget::com(1)).ok());
        QSignalSpy spy(&port, &SerialPort::readyRead);
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        term.sendRaw(all);
        QTRY_COMPARE(port.bytesAvailable(), qint64(256));
        QVERIFY(spy.count() >= 1);
        QCOMPARE(port.readAll(), all);
        QCOMPARE(port.readAll(), QByteArray());
    }

    void hangUpIsOneLostNotification()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(port.open(PortTarget::com(1)).ok());
        int lost = 0;
        Error why;
        connect(&port, &SerialPort::lineLost, this, [&](const Error &e) {
            ++lost;
            why = e;
        });
        term.hangUpNow(); // the adapter is pulled
        QTRY_COMPARE(lost, 1);
        QTest::qWait(100); // a flood would show here
        QCOMPARE(lost, 1);
        QVERIFY(!port.isOpen());
        QVERIFY(!why.ok());
    }

    void closingHandsQueuedBytesToTheLine()
    {
        SimTerminal term({}, manualTerminal());
        qputenv("QUILLAN_COM1", term.slavePath().toLocal8Bit());
        QtSerialPort port;
        QVERIFY(port.open(PortTarget::com(1)).ok());
        const QByteArray big(200 * 1024, 'x');
        QVERIFY(port.write(big + "OVER\r").ok());
        port.close(); // straight after the write, as the download ends
        QTRY_COMPARE(term.receivedBytes().size(), big.size() + 5);
        QVERIFY(term.receivedBytes().endsWith("OVER\r"));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("QUILLAN_TEST_HOLD"))
        return holdPort(argc, argv);
    QCoreApplication app(argc, argv);
    TestSerialPort test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_serialport.moc"
