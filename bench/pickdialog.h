#pragma once

#include "app/filedialogcontrol.h"

// The person at the dialog, who always picks the same file.
class PickDialog : public FileDialogControl
{
public:
    explicit PickDialog(QString path) : m_path(std::move(path)) {}
    bool ShowOpen(QWidget *) override { return FileName = m_path, true; }
    bool ShowSave(QWidget *) override { return FileName = m_path, true; }

private:
    QString m_path;
};
