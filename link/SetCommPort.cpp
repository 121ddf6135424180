#include "link/SetCommPort.h"

#include "link/LineSettings.h"
#include "link/SerialPort.h"

Error SetCommPort(SerialPort &port, const PortTarget &target)
{
    if (target.number > 0) {
        if (Error e = port.setCommPort(target.number))
            return e;
    }
    if (Error e = port.setDevice(target.device))
        return e;
    if (Error e = port.setSettings(linkSettingsText()))
        return e;
    if (Error e = port.setHandshaking(Handshaking::RtsCts))
        return e;
    if (Error e = port.setInputLen(0))
        return e;
    return port.setPortOpen(true);
}

Error openTransferPort(SerialPort &port, const PortTarget &target)
{
    if (port.portOpen()) {
        const QString wanted = target.device.isEmpty() ? deviceForComPort(target.number) : target.device;
        if (port.deviceName() == wanted)
            return {};
        port.setPortOpen(false);
    }
    return SetCommPort(port, target);
}
