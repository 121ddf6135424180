#include "storage/RecordFile.h"

#include "storage/DiskSync.h"
#include "storage/FileLock.h"
#include "platform/SystemError.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// Renames from over to, replacing an existing to in one step.
Error replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()), reinterpret_cast<const wchar_t *>(to.utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {Error::Kind::PermissionDenied, QStringLiteral("cannot rename (%1)").arg(GetLastError())};
    return {};
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return errorFromErrno(errno);
    return {};
#endif
}

// The file a name finally stands for: a symbolic link is followed, so that
// the link stays and its target is the file written, replaced and kept.
QString finalTarget(const QString &path)
{
    QString target = path;
    // A link whose target is missing names the file to be made there.
    for (int hops = 0; hops < 40 && QFileInfo(target).isSymLink(); ++hops)
        target = QFileInfo(target).symLinkTarget();
    return target.isEmpty() ? path : target;
}
}

RecordFile::RecordFile() = default;

RecordFile::~RecordFile()
{
    if (isOpen() && !m_committed)
        discard();
    close();
}

Error RecordFile::fail(QFileDevice &file) const
{
#ifdef Q_OS_WIN
    if (const unsigned long code = GetLastError())
        return errorFromWindows(code);
#endif
    return errnoOr(file.errorString(), Error::Kind::PermissionDenied);
}

Error RecordFile::openLocked(QFile &file, QIODevice::OpenMode mode)
{
    // Locked, then checked to be still the file at the name: one that a
    // replacing transfer renamed away meanwhile is no longer the user's file.
    for (int attempt = 0; attempt < 5; ++attempt) {
        errno = 0;
        if (!file.open(mode | QIODevice::Unbuffered))
            return fail(file);
        if (Error e = lockExclusive(file.handle())) {
            file.close();
            return e;
        }
        if (sameFile(file.handle(), file.fileName()))
            return {};
        file.close();
    }
    return {Error::Kind::Busy, QStringLiteral("another transfer keeps replacing it")};
}

Error RecordFile::open(const QString &path, Mode mode)
{
    close();
    const QFileInfo info(finalTarget(path));
    if (info.exists() && !info.isFile())
        return {Error::Kind::BadFile, info.isDir() ? QStringLiteral("it is a folder, not a file")
                                                       : QStringLiteral("it is not a regular file")};
    m_path = path;
    m_target = finalTarget(path);
    m_mode = mode;
    m_committed = false;
    m_written = 0;
    errno = 0;
#ifdef Q_OS_WIN
    SetLastError(ERROR_SUCCESS);
#endif
    switch (mode) {
    case Mode::Create: {
        auto file = std::make_unique<QFile>(m_target);
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            const int code = errno; // the look below sets errno anew ("No such file")
            if (info.exists() || QFileInfo::exists(m_target))
                return {Error::Kind::Busy, QStringLiteral("the file exists already")};
            return code ? errorFromErrno(code) : fail(*file);
        }
        // Another transfer that opened the new file in the instant since it
        // was made holds it; it is theirs now, not ours to remove.
        if (Error e = lockExclusive(file->handle()))
            return e;
        m_file = std::move(file);
        break;
    }
    case Mode::Replace: {
        if (!info.exists())
            return open(path, Mode::Create);
        // The old file stays as it is, locked, until the first record is in a
        // new file of our own beside it, which then takes the name.
        auto old = std::make_unique<QFile>(m_target);
        if (Error e = openLocked(*old, QIODevice::ReadOnly))
            return e;
        QTemporaryFile temporary(m_target + QStringLiteral(".XXXXXX"));
        temporary.setAutoRemove(false);
        if (!temporary.open())
            return fail(temporary);
        m_temporary = temporary.fileName();
        temporary.close();
        // Unbuffered like the plain file, so a failed write can be cut back whole.
        auto file = std::make_unique<QFile>(m_temporary);
        Error e;
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            e = fail(*file);
        else if (!file->setPermissions(old->permissions()))
            e = fail(*file);
        else
            e = lockExclusive(file->handle());
        if (e) {
            file.reset();
            QFile::remove(m_temporary);
            m_temporary.clear();
            return e;
        }
        m_old = std::move(old);
        m_file = std::move(file);
        break;
    }
    case Mode::Append: {
        if (!info.exists())
            return open(path, Mode::Create);
        auto file = std::make_unique<QFile>(m_target);
        // Append: every write goes to the end of the file as it is then.
        if (Error e = openLocked(*file, QIODevice::ReadWrite | QIODevice::Append))
            return e;
        const qint64 size = file->size();
        if (size > 0) {
            char last = 0;
            if (!file->seek(size - 1) || file->read(&last, 1) != 1)
                return fail(*file);
            // Two records must never run together on one line.
            if (last != '\n' && last != '\r')
                return {Error::Kind::BadFile, QStringLiteral("its last line has no line ending")};
        }
        if (!file->seek(size))
            return fail(*file);
        m_file = std::move(file);
        break;
    }
    }
    return {};
}

Error RecordFile::commit()
{
    if (!isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
    if (Error e = syncToDisk(m_file->handle()))
        return e;
    if (m_mode == Mode::Create) {
        if (Error e = syncDirectoryOf(m_target))
            return e;
    }
    m_committed = true;
    return {};
}

Error RecordFile::putInPlace()
{
#ifdef Q_OS_WIN
    // Windows renames no file that is open; both are shut for the moment.
    m_old.reset();
    m_file->close();
#endif
    if (Error e = replaceFile(m_target, backupPath(m_target)))
        return e;
    if (Error e = replaceFile(m_temporary, m_target)) {
        replaceFile(backupPath(m_target), m_target); // put the old file back
        return e;
    }
    m_temporary.clear();
    m_old.reset();
#ifdef Q_OS_WIN
    m_file->setFileName(m_target);
    if (!m_file->open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return fail(*m_file);
    if (Error e = lockExclusive(m_file->handle()))
        return e;
#endif
    return syncDirectoryOf(m_target);
}

void RecordFile::discard()
{
    if (!isOpen())
        return;
    // Nothing was written: leave no stray empty file (removed once closed:
    // Windows removes no file that is open).
    const bool remove = m_mode == Mode::Create && !m_committed;
    close();
    if (remove)
        QFile::remove(m_target);
}

Error RecordFile::writeLine(const QByteArray &record)
{
    if (!isOpen())
        return {Error::Kind::BadFile, QStringLiteral("The file is not open")};
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
    if (e) {
        // Keep the file a whole number of records: take back what this
        // record added (asked only on failure: no look at the file per record).
        if (m_file->isOpen()) {
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
    bool remove = m_file && removeIfEmpty && m_mode == Mode::Create && m_written == 0;
    if (m_file) {
#ifndef Q_OS_WIN
        // Removed while still locked: no other transfer can have written to it.
        if (remove)
            QFile::remove(m_target);
        remove = false;
#endif
        m_file->close();
    }
#ifdef Q_OS_WIN
    // Windows removes no file that is open.
    if (remove)
        QFile::remove(m_target);
#endif
    m_file.reset();
    m_old.reset();
    // A replacement that got no record: the old file keeps its name.
    if (!m_temporary.isEmpty())
        QFile::remove(m_temporary);
    m_temporary.clear();
    m_written = 0;
}
