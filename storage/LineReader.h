#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Reads the download's input file one line at a time, streaming. A line ends
// at CR LF or at a CR alone; an LF on its own is part of the line. The last
// line needs no ending, and an ending at the very end adds no empty line.
class LineReader
{
public:
    LineReader() = default;
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    Error open(const QString &path);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }

    /// True when no line is left. A read failure counts as not at the end, so
    /// that readLine() reports it.
    bool atEnd();
    /// The next line, without its ending.
    Error readLine(QByteArray &line);

    static constexpr qint64 ChunkSize = 64 * 1024;

private:
    bool fill();  // false at end of file or on an error (then m_error is set)
    void skipPendingLf();

    QFile m_file;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_afterCr = false;
    bool m_eof = false;
    Error m_error;
};
