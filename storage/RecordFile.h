#pragma once

#include "platform/Error.h"
#include "storage/SafePath.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

// The upload's output file. Each record becomes one line ended by CR LF and
// is on stable storage when writeLine() returns, so the terminal may then be
// told to delete it. Records always go to the end of the file as it is when
// they are written, and the file is locked for the whole transfer: a second
// transfer into it is refused, naming who holds it.
//
// Opening happens in two steps so that a transfer that cannot start (its
// port will not open) leaves the user's files as they were: open() checks,
// locks and prepares, commit() makes the file the one at the chosen name. A
// replacement takes the name only with its first record: a transfer that
// saves none leaves the old file (and its .bak) as they were, and no other
// file: the replacement (".NAME.quillan-XXXXXX" beside NAME) is made with the
// first record, and one left by a run killed after that is removed by the
// next transfer into NAME.
//
// A name is followed only through links the system itself would follow (see
// SafePath); a symbolic link of the user's own stays a link, its target being
// the file written, replaced and kept as TARGET.bak.
class RecordFile
{
public:
    enum class Mode {
        Create,   // a new file; an existing one is refused
        Replace,  // the existing file is kept as NAME.bak once a new one with a record takes its name
        Append,   // records go after what the file holds (which must end with a line
                  // ending), or into a new file
    };

    RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;
    ~RecordFile();

    /// Prepares and locks the file. Nothing at path changes yet, except that
    /// Create makes the new, empty file. A refusal says what is wrong with
    /// the file without naming it ("it exists already"): whoever words it
    /// names it. Kind Exists: Create found a regular file there.
    Error open(const QString &path, Mode mode);
    /// What open() would refuse for what stands at path, without changing
    /// anything or locking; backupShown: where Replace would keep the old file.
    static Error check(const QString &path, Mode mode, QString *backupShown = nullptr);
    /// Makes the file durable where it is (folder synced): after this, a
    /// record written is a record kept.
    Error commit();
    /// The transfer did not start: leaves everything as it was before open().
    void discard();
    /// Writes record + CR LF and syncs it; a replacement then takes the name.
    /// On failure the file is cut back to the records before, so no half line
    /// is left behind.
    Error writeLine(const QByteArray &record);
    /// removeIfEmpty: a file this transfer created and wrote no record to is
    /// removed (while still locked, so no other transfer's records go with it).
    void close(bool removeIfEmpty = false);

    bool isOpen() const { return m_file != nullptr || m_old != nullptr; }
    QString path() const { return m_path; }
    /// Bytes of the records written by this transfer.
    qint64 bytesWritten() const { return m_written; }
    static QString backupPath(const QString &path) { return path + QStringLiteral(".bak"); }
    /// Where Replace keeps the old file, as messages name it: beside a
    /// symbolic link's target, not beside the link.
    QString backupPathShown() const { return m_place.beside(backupPath(m_place.name())); }

private:
    static Error inspect(const QString &path, Mode mode, SafePath &place);
    static Error openLocked(const SafePath &place, QFile &file, SafePath::Open how);
    Error makeReplacement();
    Error putInPlace();
    void removeReplacement();

    SafePath m_place;              // the file's folder and its name there (a link's target)
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<QFile> m_old;  // Replace: the file being replaced, locked until the new one takes its name
    QString m_path;                // as given, for messages
    QString m_temporary;           // Replace: the new file's name, from its first record until it takes NAME
    Mode m_mode = Mode::Create;
    bool m_committed = false;
    QByteArray m_line;  // reused so a long upload does not allocate per record
    SafePath::FileId m_fileId;  // of m_file, once taken; forgotten whenever m_file changes
    qint64 m_written = 0;
};
