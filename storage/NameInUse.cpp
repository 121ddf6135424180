#include "storage/NameInUse.h"

#include <QFileInfo>

bool nameInUse(const QString &fileName)
{
    if (fileName.isEmpty())
        return false;
    const QFileInfo info(fileName);
    return (info.exists() || info.isSymLink()) && !info.isDir();
}
