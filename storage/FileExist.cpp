#include "storage/FileExist.h"

#include <QFileInfo>

bool FileExist(const QString &fileName)
{
    if (fileName.isEmpty())
        return false;
    const QFileInfo info(fileName);
    return (info.exists() || info.isSymLink()) && !info.isDir();
}
