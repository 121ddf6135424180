#pragma once

#include <QString>

/// True when something other than a folder stands at the name, whether or not
/// this user may read it: the replace question must not be skipped for a file
/// the user cannot read.
bool nameInUse(const QString &fileName);
