#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

class QTemporaryFile;

// The upload's output file. Each record becomes one line ended by CR LF and
// is on stable storage when writeLine() returns, so the terminal may then be
// told to delete it.
//
// Opening happens in two steps so that a transfer that cannot start (its
// port will not open) leaves the user's files as they were: open() checks
// and prepares, commit() makes the file the one at the chosen name.
class RecordFile
{
public:
    enum class Mode {
        Create,   // a new file; an existing one is refused
        Replace,  // the existing file is kept as NAME.bak, then a new one takes its name
        Append,   // records go after what the file holds (which must end with a line
                  // ending), or into a new file
    };

    RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;
    ~RecordFile();

    /// Prepares the file. Nothing at path changes yet, except that Create
    /// makes the new, empty file.
    Error open(const QString &path, Mode mode);
    /// Puts the file in place, durably (folder synced): after this, a record
    /// written is a record kept.
    Error commit();
    /// The transfer did not start: leaves everything as it was before open().
    void discard();
    /// Writes record + CR LF and syncs it. On failure the file is cut back to
    /// the records before, so no half line is left behind.
    Error writeLine(const QByteArray &record);
    void close();

    bool isOpen() const { return m_file != nullptr; }
    QString path() const { return m_path; }
    /// Bytes of the records written by this transfer.
    qint64 bytesWritten() const { return m_size - m_startSize; }
    static QString backupPath(const QString &path) { return path + QStringLiteral(".bak"); }

private:
    Error fail(QFileDevice &file) const;

    std::unique_ptr<QFile> m_file;
    QTemporaryFile *m_temporary = nullptr;  // Replace: the new file until commit()
    QString m_path;
    Mode m_mode = Mode::Create;
    bool m_committed = false;
    QByteArray m_line;  // reused so a long upload does not allocate per record
    qint64 m_size = 0;
    qint64 m_startSize = 0;
};
