#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Reads the download's input file one line at a time, streaming, in pieces of
// at most ChunkSize bytes so that a line of any length fits in bounded memory.
// A line ends at CR LF or at a CR alone; an LF on its own is part of the line,
// so a file an upload wrote goes back byte for byte. A file with more lone-LF
// line breaks than CR line endings (kept on Linux, a line pasted from
// elsewhere perhaps) has its lines ended by LF, CR LF and CR alike; this is
// decided once for the whole file. The last line needs no ending, and an
// ending at the very end adds no empty line.
class LineReader
{
public:
    LineReader() = default;
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    /// Opens a regular file (anything else, a folder, a FIFO, a device, is
    /// refused); scan() then reads it through once for the line-ending rule.
    Error openFile(const QString &path);
    /// Reads up to budget more bytes of the file through; done once all of it
    /// is, and the reader stands at the first line.
    Error scan(qint64 budget, bool &done);
    /// Fails with Error::Kind::Changed when the file is no longer as it was
    /// opened (its size or modification time). Looked at before every read.
    Error checkUnchanged();
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_path; }
    qint64 size() const { return m_size; }
    /// Bytes of the file consumed so far, line endings included.
    qint64 position() const { return m_base + m_pos; }

    /// True when no line is left. A read failure counts as not at the end, so
    /// that the next read reports it.
    bool atEnd();
    /// The next piece of the current line. lineEnded tells whether the piece
    /// finishes the line; the ending itself is never part of a piece.
    Error readPiece(QByteArray &piece, bool &lineEnded);
    /// No piece of a line has been read without its end.
    bool atLineStart() const { return !m_midLine; }

    static constexpr qint64 ChunkSize = 64 * 1024;

private:
    struct Stamp
    {
        qint64 size = -1;
        qint64 modified = 0;  // ns on POSIX, ms elsewhere
        bool operator==(const Stamp &) const = default;
    };
    Stamp stamp();
    bool fill();  // false at end of file or on an error (then m_error is set)
    void skipPendingLf();

    QFile m_file;
    QString m_path;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_base = 0;   // file offset of m_buffer's first byte
    qint64 m_size = 0;
    bool m_anyEnding = false; // LF ends a line too
    bool m_afterCr = false;
    bool m_midLine = false;
    Stamp m_opened;
    // The read-through: counts so far, and the byte before the slice.
    bool m_scanned = false;
    qint64 m_loneLf = 0;
    qint64 m_cr = 0;
    char m_previous = 0;
    bool m_eof = false;
    Error m_error;
};
