#pragma once

#include "platform/MessageBox.h"

#include <QString>

#include <memory>

class QMessageBox;
class QWidget;

// MessageBox as a real modal QMessageBox.
class QtMessageBox final : public MessageBox
{
public:
    explicit QtMessageBox(QWidget *parent = nullptr) : m_parent(parent) {}

    Answer show(const Request &request) override;

    /// The box show() would run, built but not shown.
    std::unique_ptr<QMessageBox> build(const Request &request) const;
    /// text with invisible break points in words of LongWord characters or more.
    static QString breakable(const QString &text);
    static constexpr int LongWord = 40;

private:
    QWidget *m_parent;
};
