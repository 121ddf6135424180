#pragma once

#include "link/PortNames.h"
#include "storage/RecordFile.h"
#include "transfer/ReplyTimeout.h"

#include <QList>
#include <QString>
#include <QStringList>

// One port named on the command line and what it maps to.
struct PortChoice
{
    QString given;      // as typed: "COM1", "/dev/ttyUSB0", a symlink
    PortTarget target;  // resolved when the request is parsed
    QString node;       // the device it finally leads to (links followed), for telling two names of one device apart
    /// What replaces {port} in the file name: the last component of given.
    QString shortName() const;
    /// "COM1 (/dev/ttyS0)", or the device alone: how messages name the port.
    QString label() const { return target.describe(); }
};

// What the command line asks for, checked for usage errors only (files and
// ports are tried by the runner).
struct CliRequest
{
    enum class Command { Upload, Download, Collect, Ports, Help, Version };
    // What an option not given means; --help says so from here too.
    static constexpr const char *DefaultPort = "COM1";
    static constexpr int DefaultTimeoutMs = ReplyTimeout::DefaultMs;  // as the windows wait
    static constexpr int DefaultIntervalMs = 5000;
    static constexpr int DefaultRestMs = 60000;

    Command command = Command::Help;
    QList<PortChoice> ports;        // upload/download: at least one
    int timeoutMs = DefaultTimeoutMs;   // 0 waits for ever
    int intervalMs = DefaultIntervalMs; // collect: between two polls of an idle port
    int restMs = DefaultRestMs;         // collect: after a terminal with nothing to give
    RecordFile::Mode mode = RecordFile::Mode::Create;
    QString logPath;
    bool quiet = false;
    QString file;                   // as given, {port} not yet replaced; download: "-" is standard input
    // upload, collect: FILE names a database (sqlite:..., postgresql://...)
    struct Store
    {
        QString destination;        // empty: FILE is a file
        QString table;              // empty: the default, "records"
        QString station;            // empty: this computer's name
        QString port;               // the port as given
    };
    Store store;

    // ports
    bool json = false;
    int assignNumber = 0;           // 0: list
    QString assignDevice;
    bool clear = false;

    /// FILE for one port: {port} replaced by its short name (a database: as given).
    QString fileFor(const PortChoice &port) const;
    /// The database for one port (empty destination: FILE is a file).
    Store storeFor(const PortChoice &port) const;
};

/// Whether FILE as given names a database rather than a file.
bool namesDatabase(const QString &file);
/// FILE as messages and the log show it: a database without its password.
QString shownDestination(const QString &file);
/// file with {date} replaced by date as YYYY-MM-DD.
QString withDate(QString file, const class QDate &date);

struct ParsedCommandLine
{
    CliRequest request;
    QString error;   // not empty: a usage error, exit 2
};

/// args as QCoreApplication::arguments() gives them, program name first.
ParsedCommandLine parseCommandLine(const QStringList &args);
/// COMn or a device; false with why in error when COMn names no port here.
bool resolvePort(const QString &given, PortChoice &out, QString &error);
/// The COM port number of "COMn" (any case), 0 when text is not that form.
int comNumber(const QString &text);
/// The highest COM port number that can be assigned or named.
int highestComPort();
QString helpText();
