#pragma once

#include "platform/FileDialog.h"

class QWidget;

// FileDialog over Qt's own QFileDialog (the same look on every desktop, and
// no overwrite question: the Upload window asks its own).
class QtFileDialog final : public FileDialog
{
public:
    explicit QtFileDialog(QWidget *parent = nullptr) : m_parent(parent) {}

protected:
    Choice show(const Request &request) override;

private:
    QWidget *m_parent;
};
