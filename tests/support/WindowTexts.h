#pragma once

#include <QString>

// The transfer windows' designed texts, written once for the tests and the
// fuzz targets' models. The windows keep their own copies: a test that read
// them from gui/ would compare the program with itself.
namespace WindowTexts {

// Upload
inline const QString SaveFiles = QStringLiteral("Save Files");  // Start's file dialog
inline const QString OpenFile = QStringLiteral("Open File");    // View's
inline const QString ReplaceQuestion = QStringLiteral("File exists !! Replace file?? ");
inline const QString ReplaceTitle = QStringLiteral("Warning");
inline const QString UploadRefused = QStringLiteral("error");  // "NAK" to a request
inline const QString NoData = QStringLiteral("NO Data Received !!");
inline QString recordsReceived(qint64 count) { return QString::number(count) + QStringLiteral(" records received !!"); }
/// How a completed upload is announced, under CompletedTitle.
inline QString uploadCompleted(qint64 count) { return count == 0 ? NoData : recordsReceived(count); }
inline const QString CompletedTitle = QStringLiteral("Information");
inline const QString UploadTitle = QStringLiteral("Terminal upload");  // its time-out boxes

// DownLoad
inline const QString OpenDownloadFile = QStringLiteral("Open download file");  // Start's and View's file dialog
inline const QString Nak = QStringLiteral("Error - NAK");
inline const QString UnknownCommand = QStringLiteral("Unknown Command !!");
inline const QString Over = QStringLiteral("Over !!");  // Text1 once the file is sent
inline const QString DownloadTitle = QStringLiteral("Terminal download");

// Both
inline const QString TimedOut = QStringLiteral("Timed Out !!");

} // namespace WindowTexts
