#include "storage/FileExist.h"

#include <QFile>
#include <QFileInfo>

bool FileExist(const QString &fileName)
{
    if (fileName.isEmpty() || QFileInfo(fileName).isDir())
        return false;
    QFile file(fileName);
    const bool opened = file.open(QIODevice::ReadOnly);
    file.close();
    return opened;
}
