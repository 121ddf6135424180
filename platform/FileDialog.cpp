#include "platform/FileDialog.h"

#include <QCoreApplication>

Error FileDialog::setAction(int action)
{
    if (action != ShowOpen && action != ShowSave)
        return {Error::Kind::InvalidValue,
                QCoreApplication::translate("FileDialog", "Invalid dialog action %1").arg(action)};
    const Choice choice = show({static_cast<Action>(action), m_title, m_filter, m_fileName});
    switch (choice.kind) {
    case Choice::Chosen:
        m_fileName = choice.path;
        return {};
    case Choice::Cancelled:
        if (m_cancelError)
            return {Error::Kind::Cancelled, QCoreApplication::translate("FileDialog", "Cancel was selected.")};
        return {};
    case Choice::Failed:
        return choice.error;
    }
    return {};
}
