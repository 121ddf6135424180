#include "link/SetCommPort.h"

#include "link/LineSettings.h"
#include "link/SerialPort.h"

Error SetCommPort(SerialPort &port, int comPortNumber)
{
    if (Error e = port.setCommPort(comPortNumber))
        return e;
    if (Error e = port.setSettings(linkSettingsText()))
        return e;
    if (Error e = port.setHandshaking(Handshaking::RtsCts))
        return e;
    if (Error e = port.setInputLen(0))
        return e;
    return port.setPortOpen(true);
}

Error openTransferPort(SerialPort &port, int comPortNumber)
{
    const Error e = SetCommPort(port, comPortNumber);
    return port.portOpen() ? Error{} : e;
}
