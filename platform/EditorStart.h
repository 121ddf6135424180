#pragma once

#include "platform/Error.h"

#include <QString>

// Starts the plain-text editor on a file without waiting for it.
class EditorStart
{
public:
    virtual ~EditorStart() = default;
    virtual Error start(const QString &path) = 0;
};
