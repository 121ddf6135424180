#pragma once

#include "storage/RecordFile.h"
#include "transfer/Dialogue.h"

#include <QByteArray>
#include <QString>

// The upload dialogue: asks the terminal for its records, writes each as one
// line of the output file and tells the terminal to remove it only once it is
// on disk. Front ends (the Upload window, the command line) start it, show
// its progress and report how it finished.
class UploadTransfer : public Dialogue
{
    Q_OBJECT
public:
    /// timer drives the optional reply time-out; null: none (as in the window).
    explicit UploadTransfer(SerialPort &port, Timer *timer = nullptr, QObject *parent = nullptr);

    /// Opens the output file as mode says, then the port; puts the file in
    /// place and asks for the first record. False when it could not start:
    /// finished() has said why, nothing was sent and the files are as before.
    bool begin(const QString &path, const PortTarget &target, RecordFile::Mode mode);
    /// A new file that gets no record is removed when the transfer ends (the
    /// windows keep it, as designed; a script's next plain run would find it).
    void setRemoveEmptyNewFile(bool remove) { m_removeEmptyNewFile = remove; }

Q_SIGNALS:
    /// A record is on disk and "REMOVE" went out for it.
    void recordSaved(const QByteArray &record, qint64 count);

protected:
    void handleReply() override;
    void release() override { m_file.close(m_removeEmptyNewFile); }
    QString path() const override { return m_path; }

private:
    void storeRecord();

    RecordFile m_file;
    QString m_path;
    bool m_removeEmptyNewFile = false;
};
