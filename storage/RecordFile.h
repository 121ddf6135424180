#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The upload's output file. Each record becomes one line ended by CR LF and
// is on stable storage when writeLine() returns, so the terminal may then be
// told to delete it.
class RecordFile
{
public:
    RecordFile() = default;
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;
    ~RecordFile() { close(); }

    /// Creates the file, or empties an existing one.
    Error open(const QString &path);
    /// Writes record + CR LF and syncs it. On failure the file is cut back to
    /// the records before, so no half line is left behind.
    Error writeLine(const QByteArray &record);
    void close();

    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }
    /// True when open() created the file rather than emptying an existing one.
    bool createdByOpen() const { return m_created; }

private:
    QFile m_file;
    QByteArray m_line;  // reused so a long upload does not allocate per record
    qint64 m_size = 0;
    bool m_created = false;
};
