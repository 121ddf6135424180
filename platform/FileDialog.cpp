#include "platform/FileDialog.h"

#include <QCoreApplication>

Error FileDialog::setAction(int action)
{
    if (action != ShowOpen && action != ShowSave)
        return {Error::Kind::InvalidValue,
                QCoreApplication::translate("FileDialog", "Invalid dialog action %1").arg(action)};
    const Outcome outcome = show({static_cast<Action>(action), m_title, m_filter, m_fileName});
    switch (outcome.kind) {
    case Outcome::Chosen:
        m_fileName = outcome.path;
        return {};
    case Outcome::Cancelled:
        if (m_cancelError)
            return {Error::Kind::Cancelled, QCoreApplication::translate("FileDialog", "Cancel was selected.")};
        return {};
    case Outcome::Failed:
        return outcome.error;
    }
    return {};
}
