// The least a PC program could do over the same pty against the same
// terminal: blocking POSIX reads and writes, no event loop, no window. The
// gap between these and the transfers is what the program itself costs.
#pragma once

#include <QString>
#include <QStringList>

// Upload: READ; record; write it + CR LF, fdatasync; REMOVE; NEXT; ... DONE.
// Returns the number of records saved, or -1 on a failure (message on stderr).
long bareUpload(const QString &device, const QString &outputPath);

// Collect: every device asked READ every intervalMs, a reply awaited for
// timeoutMs; a terminal that answers is uploaded into outputPath (appended)
// to its end. Until SIGTERM or SIGINT; returns the records saved, or -1.
long bareCollect(const QStringList &devices, const QString &outputPath, int intervalMs, int timeoutMs);

// Download: DOWN; ACK; each line of the file; ACK; ... OVER.
// Returns the number of lines sent, or -1.
long bareDownload(const QString &device, const QString &inputPath);
