// quillan-qtloop: the bare loop's dialogue, message for message, on Qt's event
// loop and QSerialPort, and nothing else: no rules of the dialogue, no checks
// of the file, no window. What it costs beyond quillan-bareloop is what any
// program pays that waits in an event loop; what a quillan program costs
// beyond it is that program's own.
//
//   quillan-qtloop upload DEVICE OUTPUT     READ / record + CR LF, fdatasync / REMOVE ... DONE
//   quillan-qtloop download DEVICE INPUT    DOWN / one line per ACK / OVER
//
// The port is set to 115200 8N1 with RTS/CTS, as the programs set it. Prints
// the number of records or lines moved; exit status 0 on success, 1 when the
// port or a file fails or the terminal is silent for 10 seconds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

constexpr qint64 SilenceMs = 10000;

class Loop : public QObject {
public:
    Loop(bool upload, const QString &device, const QString &path)
        : m_upload(upload)
        , m_file(path)
    {
        m_port.setPortName(device);
        connect(&m_port, &QSerialPort::readyRead, this, &Loop::receive);
        connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            // Modem-line calls fail on a pty; only a failed read or write ends it.
            if (e == QSerialPort::ReadError || e == QSerialPort::WriteError || e == QSerialPort::ResourceError)
                end(m_port.errorString());
        });
        // Set once, as a program with a reply clock would: no timer per message.
        m_watch.setInterval(1000);
        connect(&m_watch, &QTimer::timeout, this, [this] {
            if (m_heard.elapsed() > SilenceMs)
                end(QStringLiteral("the terminal is silent"));
        });
    }

    bool start()
    {
        if (!m_file.open(m_upload ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::ReadOnly))
            return end(m_file.errorString());
        if (!m_upload) {
            m_input = m_file.readAll();
            m_file.close();
        }
        if (!m_port.setBaudRate(QSerialPort::Baud115200) || !m_port.setFlowControl(QSerialPort::HardwareControl)
            || !m_port.open(QIODevice::ReadWrite))
            return end(m_port.errorString());
        m_heard.start();
        m_watch.start();
        send(m_upload ? "READ\r" : "DOWN\r");
        return true;
    }

    long moved() const { return m_moved; }

private:
    // The first end counts: the terminal hangs up once it has its last word.
    bool end(const QString &why = {})
    {
        if (m_ended)
            return false;
        m_ended = true;
        if (!why.isEmpty()) {
            std::fprintf(stderr, "quillan-qtloop: %s\n", qPrintable(why));
            m_moved = -1;
        }
        QCoreApplication::exit(why.isEmpty() ? 0 : 1);
        return false;
    }

    void send(const QByteArray &bytes)
    {
        m_port.write(bytes);
        m_port.flush(); // to the device now, not on the loop's next turn
    }

    void receive()
    {
        m_buffer += m_port.readAll();
        m_heard.restart();
        qsizetype cr;
        while (!m_ended && (cr = m_buffer.indexOf('\r')) >= 0) {
            const QByteArray message = m_buffer.left(cr);
            m_buffer.remove(0, cr + 1);
            m_upload ? uploadStep(message) : downloadStep(message);
        }
    }

    void uploadStep(const QByteArray &message)
    {
        if (m_awaitNext) {
            m_awaitNext = false;
            if (message != "NEXT")
                end(QStringLiteral("REMOVE answered with ") + QString::fromLatin1(message));
            else
                send("READ\r");
        } else if (message == "OVER") {
            send("DONE\r");
            end();
        } else {
            const QByteArray line = message + "\r\n";
            if (m_file.write(line) != line.size() || !m_file.flush() || ::fdatasync(m_file.handle()) != 0) {
                end(QStringLiteral("save record: ") + m_file.errorString());
                return;
            }
            ++m_moved;
            m_awaitNext = true;
            send("REMOVE\r");
        }
    }

    void downloadStep(const QByteArray &message)
    {
        if (message != "ACK") {
            end(QStringLiteral("a line answered with ") + QString::fromLatin1(message));
            return;
        }
        if (m_next >= m_input.size()) {
            send("OVER\r");
            end();
            return;
        }
        // Each line with its CR; the LF after it is not sent; a last line
        // without one gets one.
        qsizetype cr = m_input.indexOf('\r', m_next);
        QByteArray line;
        if (cr < 0) {
            line = m_input.mid(m_next) + '\r';
            m_next = m_input.size();
        } else {
            line = m_input.mid(m_next, cr + 1 - m_next);
            m_next = cr + 1;
            if (m_next < m_input.size() && m_input[m_next] == '\n')
                ++m_next;
        }
        ++m_moved;
        send(line);
    }

    const bool m_upload;
    QFile m_file;
    QSerialPort m_port;
    QTimer m_watch;
    QElapsedTimer m_heard;
    QByteArray m_buffer, m_input;
    qsizetype m_next = 0;
    long m_moved = 0;
    bool m_awaitNext = false;
    bool m_ended = false;
};

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event loop over poll(), as quillan-cli runs it, not GLib's.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 || (args[1] != QLatin1String("upload") && args[1] != QLatin1String("download"))) {
        std::fprintf(stderr, "usage: quillan-qtloop upload|download DEVICE FILE\n");
        return 2;
    }
    Loop loop(args[1] == QLatin1String("upload"), args[2], args[3]);
    if (!loop.start() || app.exec() != 0)
        return 1;
    std::printf("%ld\n", loop.moved());
    return 0;
}
