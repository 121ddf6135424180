#pragma once

#include "link/PortNames.h"
#include "platform/Error.h"

#include <QString>

// Texts of the messages both transfer windows show when the platform fails
// them, so the two windows word the same trouble the same way.
namespace Messages {
QString cannotOpenFile(const QString &path, const Error &error, bool forWriting);
QString cannotOpenPort(const PortTarget &target, const Error &error);
QString connectionLost(const Error &error);
}
