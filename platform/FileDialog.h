#pragma once

#include "platform/Error.h"

#include <QString>

// The file dialog a transfer window shares between its Start and View
// buttons. Callers set the properties, then setAction(), then look at the
// error it returns; fileName() keeps the last chosen path between showings.
class FileDialog
{
public:
    enum Action { ShowOpen = 1, ShowSave = 2 };

    virtual ~FileDialog() = default;

    void setCancelError(bool on) { m_cancelError = on; }
    bool cancelError() const { return m_cancelError; }
    void setFilter(const QString &filter) { m_filter = filter; }
    void setDialogTitle(const QString &title) { m_title = title; }
    void setFileName(const QString &path) { m_fileName = path; }
    QString fileName() const { return m_fileName; }

    /// Shows the dialog modally. After OK fileName() is the chosen path. Cancel
    /// gives error DialogCancelled when cancelError() is on and leaves
    /// fileName() as it was.
    Error setAction(int action);

    struct Request
    {
        Action action;
        QString title;
        QString filter;
        QString fileName;
    };
    struct Choice
    {
        enum Kind { Chosen, Cancelled, Failed } kind = Cancelled;
        QString path;  // with Chosen
        Error error;   // with Failed
    };

protected:
    virtual Choice show(const Request &request) = 0;

private:
    bool m_cancelError = false;
    QString m_filter;
    QString m_title;
    QString m_fileName;
};
