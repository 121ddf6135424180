#include "storage/RecordFile.h"

#include "storage/DiskSync.h"
#include "storage/FileLock.h"
#include "platform/SystemError.h"

#include <QDir>
#include <QRandomGenerator>

#include <cerrno>

namespace {
QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// A replacement's name says what it is: hidden, beside NAME, the program's.
QString replacementPrefix(const QString &name)
{
    return QLatin1Char('.') + name + QStringLiteral(".quillan-");
}
constexpr int SuffixLength = 6;

QString randomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QString suffix;
    for (int i = 0; i < SuffixLength; ++i)
        suffix += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
    return suffix;
}
}

RecordFile::RecordFile() = default;

RecordFile::~RecordFile()
{
    if (isOpen() && !m_committed)
        discard();
    close();
}

Error RecordFile::inspect(const QString &path, Mode mode, SafePath &place)
{
    if (Error e = place.locate(path))
        return e;
    switch (place.kind()) {
    case SafePath::Kind::Folder:
        return {Error::Kind::BadFile, QStringLiteral("it is a folder; name a file to write the records to, for example %1")
                                          .arg(QDir(path).filePath(QStringLiteral("records.txt")))};
    case SafePath::Kind::Link: // locate() follows links
    case SafePath::Kind::Other:
        return {Error::Kind::BadFile,
                QStringLiteral("it is %1, not a regular file: records are written to regular files only")
                    .arg(place.kindName())};
    case SafePath::Kind::Missing:
        return place.danglingLink() ? place.danglingRefusal() : Error{};
    case SafePath::Kind::Regular:
        break;
    }
    if (mode == Mode::Create)
        return {Error::Kind::Exists, QStringLiteral("it exists already")};
    if (mode == Mode::Replace) {
        // The old file is kept under this name; a link there is replaced, never followed.
        QString what;
        const SafePath::Kind backup = place.kindOf(backupPath(place.name()), &what);
        if (backup == SafePath::Kind::Folder || backup == SafePath::Kind::Other)
            return {Error::Kind::BadFile, QStringLiteral("it cannot be kept as %1: that is %2; move it away, then try again")
                                              .arg(quoted(place.beside(backupPath(place.name()))), what)};
    }
    return {};
}

Error RecordFile::check(const QString &path, Mode mode, QString *backupShown)
{
    SafePath place;
    const Error e = inspect(path, mode, place);
    if (backupShown)
        *backupShown = place.beside(backupPath(place.name()));
    return e;
}

Error RecordFile::openLocked(const SafePath &place, QFile &file, SafePath::Open how)
{
    // Locked, then checked to be still the file at the name: one that a
    // replacing transfer renamed away meanwhile is no longer the user's file.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Error e = place.open(place.name(), how, file))
            return e;
        if (Error e = lockExclusive(file.handle())) {
            file.close();
            return e;
        }
        if (place.isAt(file, place.name()))
            return {};
        file.close();
    }
    return {Error::Kind::Busy, QStringLiteral("another transfer keeps replacing it")};
}

Error RecordFile::open(const QString &path, Mode mode)
{
    close();
    SafePath place;
    if (Error e = inspect(path, mode, place))
        return e;
    // Replacing or appending to nothing is making a new file, which a
    // transfer that does not start removes again.
    if (place.kind() == SafePath::Kind::Missing)
        mode = Mode::Create;
    m_path = path;
    m_mode = mode;
    m_committed = false;
    m_written = 0;
    const QString name = place.name();
    switch (mode) {
    case Mode::Create: {
        auto file = std::make_unique<QFile>();
        if (Error e = place.open(name, SafePath::Open::CreateNew, *file)) {
            if (place.kindOf(name) != SafePath::Kind::Missing) // made meanwhile
                return {Error::Kind::Exists, QStringLiteral("it exists already")};
            return e;
        }
        // Another transfer that opened the new file in the instant since it
        // was made holds it; it is theirs now, not ours to remove.
        if (Error e = lockExclusive(file->handle()))
            return e;
        m_file = std::move(file);
        m_fileId = {};
        break;
    }
    case Mode::Replace: {
        // The old file stays as it is, locked, until the first record is in a
        // new file of our own beside it, which then takes the name.
        auto old = std::make_unique<QFile>();
        if (Error e = openLocked(place, *old, SafePath::Open::Read))
            return e;
        if (Error e = place.checkWritable())
            return {e.kind, QStringLiteral("it cannot be replaced: no new file can be made beside it (%1)")
                                .arg(e.description)};
        m_old = std::move(old);
        break;
    }
    case Mode::Append: {
        auto file = std::make_unique<QFile>();
        // Append: every write goes to the end of the file as it is then.
        if (Error e = openLocked(place, *file, SafePath::Open::Append))
            return e;
        const qint64 size = file->size();
        if (size > 0) {
            char last = 0;
            errno = 0;
            if (!file->seek(size - 1) || file->read(&last, 1) != 1)
                return errnoOr(file->errorString());
            // Two records must never run together on one line.
            if (last != '\n' && last != '\r')
                return {Error::Kind::BadFile,
                        QStringLiteral("its last line has no line ending; a record added would run into it")};
        }
        if (!file->seek(size))
            return errnoOr(file->errorString());
        m_file = std::move(file);
        m_fileId = {};
        break;
    }
    }
    // Holding the file's lock, no other transfer is making a replacement for
    // it: any such file is one a killed run left.
    place.removeLeftovers(replacementPrefix(name), SuffixLength);
    m_place = std::move(place);
    return {};
}

Error RecordFile::commit()
{
    if (!isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
    if (m_file) {
        if (Error e = syncToDisk(m_file->handle()))
            return e;
    }
    if (m_mode == Mode::Create) {
        if (Error e = m_place.syncFolder())
            return e;
    }
    m_committed = true;
    return {};
}

Error RecordFile::makeReplacement()
{
    auto file = std::make_unique<QFile>();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = replacementPrefix(m_place.name()) + randomSuffix();
        if (Error e = m_place.open(name, SafePath::Open::CreateNew, *file, m_old.get())) {
            if (m_place.kindOf(name) != SafePath::Kind::Missing)
                continue; // the name is taken
            return e;
        }
        m_temporary = name;
        m_file = std::move(file);
        m_fileId = {};
        if (Error e = lockExclusive(m_file->handle())) {
            removeReplacement();
            return e;
        }
        return {};
    }
    return {Error::Kind::Busy, QStringLiteral("no free name for the new file beside it")};
}

void RecordFile::removeReplacement()
{
    if (m_file)
        m_file->close(); // Windows removes no file that is open
    m_file.reset();
    m_fileId = {};
    if (!m_temporary.isEmpty())
        m_place.remove(m_temporary);
    m_temporary.clear();
}

Error RecordFile::putInPlace()
{
    const QString name = m_place.name();
    const QString backup = backupPath(name);
#ifdef Q_OS_WIN
    // Windows renames no file that is open; both are shut for the moment.
    m_old.reset();
    m_file->close();
#endif
    if (Error e = m_place.rename(name, backup))
        return e;
    if (Error e = m_place.rename(m_temporary, name)) {
        m_place.rename(backup, name); // put the old file back
        return e;
    }
    m_temporary.clear();
    m_old.reset();
#ifdef Q_OS_WIN
    if (Error e = m_place.open(name, SafePath::Open::Append, *m_file))
        return e;
    if (Error e = lockExclusive(m_file->handle()))
        return e;
#endif
    return m_place.syncFolder();
}

void RecordFile::discard()
{
    if (!isOpen())
        return;
    // Nothing was written: leave no stray empty file.
    close(m_mode == Mode::Create && !m_committed);
}

Error RecordFile::writeLine(const QByteArray &record)
{
    if (!isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
    // A replacement is made with its first record, so that a run that saves
    // none, even one killed, leaves nothing behind.
    if (!m_file) {
        if (Error e = makeReplacement())
            return e;
    }
    m_line.clear();
    m_line.append(record);
    m_line.append("\r\n", 2);
    errno = 0;
    const qint64 written = m_file->write(m_line);
    Error e;
    if (written != m_line.size())
        e = errnoOr(m_file->errorString());
    else
        e = syncToDisk(m_file->handle());
    // A replacement takes the name with its first record, before that
    // record can be removed from the terminal.
    if (!e && !m_temporary.isEmpty())
        e = putInPlace();
#ifndef Q_OS_WIN
    // A record is kept only while its file has a name: one that a person or
    // a rotation removed or moved away meanwhile would take it with it.
    // (Windows removes and renames no file that is open.)
    // The open file's identity is taken once: a file keeps it while open.
    if (!e && !m_fileId.known)
        m_fileId = SafePath::identify(*m_file);
    if (!e && !m_place.isAt(m_fileId, m_place.name()))
        e = {Error::Kind::NotFound, QStringLiteral("the file was removed or renamed while records were being "
                                                   "saved in it")};
#endif
    if (e) {
        // Keep the file a whole number of records: a replacement that did not
        // take the name goes, and otherwise what this record added is taken
        // back (asked only on failure: no look at the file per record).
        if (!m_temporary.isEmpty())
            removeReplacement();
        else if (m_file->isOpen()) {
            const qint64 end = m_file->size() - qMax<qint64>(written, 0);
            m_file->resize(end);
            m_file->seek(end);
            m_file->unsetError();
        }
        return e;
    }
    m_written += written;
    return {};
}

void RecordFile::close(bool removeIfEmpty)
{
    // Only while the name is still ours: a file removed meanwhile may have
    // been followed by someone else's.
    bool remove = m_file && removeIfEmpty && m_mode == Mode::Create && m_written == 0
                  && m_place.isAt(*m_file, m_place.name());
    if (m_file) {
#ifndef Q_OS_WIN
        // Removed while still locked: no other transfer can have written to it.
        if (remove)
            m_place.remove(m_place.name());
        remove = false;
#endif
        m_file->close();
    }
#ifdef Q_OS_WIN
    // Windows removes no file that is open.
    if (remove)
        m_place.remove(m_place.name());
#endif
    m_file.reset();
    m_fileId = {};
    m_old.reset();
    // A replacement that got no record: the old file keeps its name.
    removeReplacement();
    m_written = 0;
}
