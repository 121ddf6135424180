#include "link/Framing.h"

QByteArray frame(const QByteArray &message)
{
    QByteArray bytes;
    bytes.reserve(message.size() + 1);
    bytes.append(message);
    bytes.append(MessageEnd);
    return bytes;
}

bool assembleReply(QByteArray &rxBuffer, const QByteArray &input)
{
    rxBuffer.append(input);
    if (rxBuffer.isEmpty() || rxBuffer.back() != MessageEnd)
        return false;
    rxBuffer.chop(1);
    return true;
}
