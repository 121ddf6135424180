#pragma once

#include "storage/RecordFile.h"
#include "transfer/RecordSink.h"
#include "transfer/Dialogue.h"

#include <QByteArray>
#include <QString>

// The upload dialogue: asks the terminal for its records, writes each as one
// line of the output file and tells the terminal to remove it only once it is
// on disk. A reply is a record only as the answer to "READ", never the PC's
// own "READ" coming back, and an empty one only once the line has stayed
// quiet after it (a CR just ahead of a reply is noise): keeping a record on the
// terminal is always safe, deleting one the PC did not see never is. Front
// ends (the Upload window, the command line) start it, show its progress and
// report how it finished.
class UploadTransfer : public Dialogue
{
    Q_OBJECT
public:
    /// timer drives the optional reply time-out; null: none.
    explicit UploadTransfer(SerialPort &port, Timer *timer = nullptr, QObject *parent = nullptr);

    /// Opens the output file as mode says (or, with setOpenOnFirstRecord, only
    /// checks that it may), then the port; puts the file in place and asks for
    /// the first record. False when it could not start: finished() has said
    /// why, nothing was sent and the files are as before.
    bool begin(const QString &path, const PortTarget &target, RecordFile::Mode mode);
    /// A new file that gets no record is removed when the transfer ends (the
    /// windows keep it, as designed; a script's next plain run would find it).
    void setRemoveEmptyNewFile(bool remove) { m_removeEmptyNewFile = remove; }
    /// Records go to sink instead of a file (begin()'s path and mode then
    /// unused); it stays the caller's.
    void setSink(RecordSink *sink) { m_sink = sink; }
    /// The file is opened when the first record arrives: a terminal with
    /// nothing to give makes no file at all, nor one whose first record
    /// could not be saved.
    void setOpenOnFirstRecord(bool late) { m_openLate = late; }

Q_SIGNALS:
    /// A record is on disk and "REMOVE" went out for it.
    void recordSaved(const QByteArray &record, qint64 count);

protected:
    bool answer(const QByteArray &reply) override;
    QByteArray lastMessage(qint64 &length) const override;
    void quietAfterEmpty() override;
    void release() override { m_file.close(m_removeEmptyNewFile || m_openLate); }
    QString path() const override { return m_sink ? m_sink->shown() : m_path; }

private:
    Error openFile();
    void storeRecord(const QByteArray &record);

    RecordFile m_file;
    QString m_path;
    RecordFile::Mode m_mode = RecordFile::Mode::Create;
    bool m_removeEmptyNewFile = false;
    bool m_openLate = false;
    RecordSink *m_sink = nullptr;
};
