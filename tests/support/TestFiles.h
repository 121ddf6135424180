#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QString>

class LineReader;

QByteArray readAll(const QString &path);
/// The first count records (all with -1) as a record file holds them: each followed by CR LF.
template <typename Records> QByteArray recordLines(const Records &records, qsizetype count = -1)
{
    QByteArray b;
    for (const QByteArray &r : records) {
        if (count-- == 0)
            break;
        b += r + "\r\n";
    }
    return b;
}
void writeAll(const QString &path, const QByteArray &bytes);
/// Opens path with reader and reads it through, as a download does before its first line.
Error openWhole(LineReader &reader, const QString &path);
/// The next whole line of reader, its pieces joined, without its ending.
Error readWholeLine(LineReader &reader, QByteArray &line);
/// Makes COM port n mean device for the rest of this process, as QUILLAN_COMn does for a user.
void wireComPort(int n, const QString &device);
/// Number of this process's open descriptors that refer to path.
int openDescriptorsFor(const QString &path);
/// Number of this process's open descriptors.
int openDescriptorCount();

#include <functional>

/// Runs the event loop (without the sleeps QTRY_* puts between its rounds)
/// until done() holds or timeoutMs passes; returns done().
bool spinUntil(const std::function<bool()> &done, int timeoutMs);
