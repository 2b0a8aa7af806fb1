#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CAboutDlg;
}

// The About box: version line and a notice; OK, Esc and the close box end it.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::CAboutDlg> ui_;
};
