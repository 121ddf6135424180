#include "support/TestFiles.h"

#include "link/PortNames.h"
#include "storage/LineReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<cannot read ") + path.toLocal8Bit() + ">";
    return f.readAll();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

Error openWhole(LineReader &reader, const QString &path)
{
    if (Error e = reader.openFile(path))
        return e;
    for (bool done = false; !done;) {
        if (Error e = reader.scan(LineReader::ChunkSize * 64, done))
            return e;
    }
    return {};
}

Error readWholeLine(LineReader &reader, QByteArray &line)
{
    line.clear();
    QByteArray piece;
    bool ended = false;
    while (!ended) {
        if (Error e = reader.readPiece(piece, ended))
            return e;
        line.append(piece);
    }
    return {};
}

void wireComPort(int n, const QString &device)
{
    qputenv(comVariable(n).constData(), QFile::encodeName(device));
}

int openDescriptorsFor(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == target)
            ++n;
    return n;
}

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot).size());
}

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(1);
    loop.exec();
    return done();
}
