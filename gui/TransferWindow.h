#pragma once

#include "gui/HandlerGate.h"
#include "gui/TransferForm.h"
#include "gui/WindowParts.h"
#include "link/PortNames.h"
#include "transfer/Transfer.h"
#include "transfer/Outcome.h"

#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

struct Module1;

// What the Upload and DownLoad windows have in common: their parts, their
// controls, and a display that keeps up with the transfer without slowing it.
//
// The controls show the latest record or line and count, refreshed at most
// RefreshMs apart: a repaint between a reply and its answer would delay every
// exchange, so each one only notes what to show. The end of a transfer shows
// the final values at once, before any box.
class TransferWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int RefreshMs = 40;

    /// The window's transfer: its RxBuffer (pendingReply()), record count and ticks.
    Transfer &transfer() { return *m_transfer; }
    const Transfer &transfer() const { return *m_transfer; }

protected:
    TransferWindow(WindowParts parts, Module1 &module, Outcome::Direction direction, const QString &title,
                   int command1Left, const QString &label2Caption);
    ~TransferWindow() override;

    /// Notes what the controls are to show; they follow within RefreshMs.
    void showLater(const QByteArray &text1, qint64 count);
    /// Shows what was noted, now.
    void refreshNow();
    /// Start's first steps in both windows: a transfer under way is stopped
    /// only when the user agrees (a second dialogue on the same line would
    /// corrupt it); then the file dialog is set up with title. False: Start
    /// ends here.
    bool prepareStart(const QString &title);
    /// Runs one of the window's handlers (Start, with its dialogs): what the
    /// port, the timer or the transfer announce meanwhile is held until it
    /// has ended, so that no handler runs inside a modal box.
    void runHandler(const std::function<void()> &handler) { m_gate.run(handler); }
    /// The box that tells how a transfer ended, but for its completion: each
    /// window says that in its own way. refusal is the window's designed text
    /// for a refusal; timeoutTitle titles "Timed Out !!".
    void reportOutcome(const Outcome &outcome, const QString &refusal, const QString &timeoutTitle);
    /// The window is closed: back to its design, nothing pending.
    void resetToDesign();

    WindowParts m_parts;
    Module1 &m_module;
    TransferForm m_form;
    std::unique_ptr<Transfer> m_transfer;

private:
    HandlerGate m_gate;
    QString m_label2Design;
    QTimer m_refresh;
    QByteArray m_pendingText1;
    qint64 m_pendingCount = -1;  // -1: Label2 is not to change
    bool m_pending = false;
};

/// A record or line as the user reads it: in the system's 8-bit code page,
/// and byte for byte as Latin-1 where it does not decode.
QString displayText(const QByteArray &bytes);
