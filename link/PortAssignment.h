#pragma once

#include "platform/Error.h"

#include <QList>
#include <QString>

// COM port numbers assigned to devices, the way Windows keeps a COM number
// for a device: stored per user in the platform's usual settings place, read
// by the windows and the command line alike. Nothing else is stored.
namespace PortAssignment {
/// The device COM port n is assigned to; empty when none is.
QString assignedDevice(int number);
/// Assigns COM port n to device. On Linux a device with a stable name under
/// /dev/serial/by-id is stored by that name, so that the assignment survives
/// plugging the adapter into another socket; a bare name such as ttyUSB0 is
/// taken as /dev/ttyUSB0. Returns what was stored in stored.
Error assign(int number, const QString &device, QString *stored = nullptr);
/// The COM port numbers that have a device assigned, in order.
QList<int> assignedNumbers();
/// Back to the default device.
Error clear(int number);
/// The stable /dev/serial/by-id name of device, or device itself when it has none.
QString stablePath(const QString &device);
/// The link in folder that leads to device, or device itself when none does.
QString stablePath(const QString &device, const QString &folder);
}

// One serial port the computer has, as `quillan-cli ports` lists it.
struct SerialPortListing
{
    QString device;        // /dev/ttyUSB0, COM5
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString vidPid;        // "0403:6001", empty when unknown
    QString byIdPath;      // stable name under /dev/serial/by-id, empty when none
    QList<int> assignedAs; // COM port numbers assigned to it
};

/// The serial ports the system reports, sorted by device name.
QList<SerialPortListing> listSerialPorts();
