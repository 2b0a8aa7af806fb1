// "Tools": lists the COM numbers claimed without a device and releases the
// chosen claim on "Repair".
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class CToolDlg;
}

class CToolDlg : public QDialog {
    Q_OBJECT
public:
    // say: shows the dialog's message to the person.
    CToolDlg(QWidget* parent, std::function<void(const QString&)> say);
    ~CToolDlg() override;

    void OnRepair();

private:
    void FillRepairList();

    std::unique_ptr<Ui::CToolDlg> ui_;
    std::function<void(const QString&)> say_;
};
