#include "storage/RecordFile.h"

#include "storage/DiskSync.h"
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
        return {ErrorNumber::PermissionDenied, QStringLiteral("cannot rename (%1)").arg(GetLastError())};
    return {};
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return errorFromErrno(errno);
    return {};
#endif
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
    const int code = errno;
    return code ? errorFromErrno(code) : Error{ErrorNumber::PermissionDenied, file.errorString()};
}

Error RecordFile::open(const QString &path, Mode mode)
{
    close();
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return {ErrorNumber::BadFileMode, info.isDir() ? QStringLiteral("it is a folder, not a file")
                                                       : QStringLiteral("it is not a regular file")};
    m_path = path;
    m_mode = mode;
    m_committed = false;
    m_size = m_startSize = 0;
    errno = 0;
#ifdef Q_OS_WIN
    SetLastError(ERROR_SUCCESS);
#endif
    switch (mode) {
    case Mode::Create: {
        auto file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            const int code = errno; // the look below sets errno anew ("No such file")
            if (info.exists() || QFileInfo::exists(path))
                return {ErrorNumber::FileAlreadyOpen, QStringLiteral("the file exists already")};
            return code ? errorFromErrno(code) : fail(*file);
        }
        m_file = std::move(file);
        break;
    }
    case Mode::Replace: {
        if (!info.exists())
            return open(path, Mode::Create);
        // The old file stays as it is until commit(); the new records go to a
        // file of our own beside it, which then takes the name.
        auto *temporary = new QTemporaryFile(path + QStringLiteral(".XXXXXX"));
        if (!temporary->open()) {
            const Error e = fail(*temporary);
            delete temporary;
            return e;
        }
        m_temporary = temporary;
        m_file.reset(temporary);
        break;
    }
    case Mode::Append: {
        if (!info.exists())
            return open(path, Mode::Create);
        auto file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            return fail(*file);
        const qint64 size = file->size();
        if (size > 0) {
            char last = 0;
            if (!file->seek(size - 1) || file->read(&last, 1) != 1)
                return fail(*file);
            // Two records must never run together on one line.
            if (last != '\n' && last != '\r')
                return {ErrorNumber::BadFileMode, QStringLiteral("its last line has no line ending")};
        }
        if (!file->seek(size))
            return fail(*file);
        m_size = m_startSize = size;
        m_file = std::move(file);
        break;
    }
    }
    return {};
}

Error RecordFile::commit()
{
    if (!isOpen())
        return {ErrorNumber::BadFileMode, QStringLiteral("The file is not open")};
    if (m_temporary) {
#ifdef Q_OS_WIN
        // Windows renames no open file that was not opened to share deletion,
        // and Qt's temporary files are not: the new file is closed, takes the
        // name, and is opened again for the records.
        const QString temporaryName = m_temporary->fileName();
        m_temporary->setAutoRemove(false);
        m_file.reset();
        m_temporary = nullptr;
        Error e = replaceFile(m_path, backupPath(m_path));
        if (!e) {
            e = replaceFile(temporaryName, m_path);
            if (e)
                replaceFile(backupPath(m_path), m_path); // put the old file back
        }
        if (e) {
            QFile::remove(temporaryName);
            close();
            return e;
        }
        auto file = std::make_unique<QFile>(m_path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            e = fail(*file);
            close();
            return e;
        }
        m_file = std::move(file);
#else
        if (Error e = replaceFile(m_path, backupPath(m_path)))
            return e;
        if (Error e = replaceFile(m_temporary->fileName(), m_path)) {
            replaceFile(backupPath(m_path), m_path); // put the old file back
            return e;
        }
        m_temporary->setAutoRemove(false);
#endif
    }
    if (Error e = syncToDisk(m_file->handle()))
        return e;
    if (m_mode != Mode::Append) {
        if (Error e = syncDirectoryOf(m_path))
            return e;
    }
    m_committed = true;
    return {};
}

void RecordFile::discard()
{
    if (!isOpen())
        return;
    // Nothing was written: leave no stray empty file. A temporary file removes
    // itself on close; Windows removes no file that is open.
    const bool remove = m_mode == Mode::Create && !m_temporary && !m_committed;
    close();
    if (remove)
        QFile::remove(m_path);
}

Error RecordFile::writeLine(const QByteArray &record)
{
    if (!isOpen())
        return {ErrorNumber::BadFileMode, QStringLiteral("The file is not open")};
    m_line.clear();
    m_line.append(record);
    m_line.append("\r\n", 2);
    errno = 0;
    const qint64 written = m_file->write(m_line);
    Error e;
    // flush(): a temporary file is buffered by Qt, and the sync below must see the line.
    if (written != m_line.size() || !m_file->flush())
        e = errno ? errorFromErrno(errno) : Error{ErrorNumber::DeviceIo, m_file->errorString()};
    else
        e = syncToDisk(m_file->handle());
    if (e) {
        // Keep the file a whole number of records.
        m_file->resize(m_size);
        m_file->seek(m_size);
        m_file->unsetError();
        return e;
    }
    m_size += written;
    return {};
}

void RecordFile::close()
{
    if (m_file)
        m_file->close();
    m_file.reset();
    m_temporary = nullptr;
    m_size = m_startSize = 0;
}
