#pragma once

#include <QByteArray>

// Every message on the link, either way, is its bytes followed by one CR.
inline constexpr char MessageEnd = '\r';

/// The bytes of one outgoing message: the text and its CR.
QByteArray frame(const QByteArray &message);

/// Appends what was read to rxBuffer. When rxBuffer then ends with a CR, that
/// CR is removed and true is returned: rxBuffer holds one whole reply. Only the
/// last byte is looked at, so two messages read together form one reply that
/// keeps the inner CR.
bool assembleReply(QByteArray &rxBuffer, const QByteArray &input);
