// "Tools": lists the COM numbers claimed without a device and releases the
// chosen claim on "Repair".
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class CToolDlg;
}

class CToolDlg : public QDialog {
    Q_OBJECT
public:
    explicit CToolDlg(QWidget* parent);
    ~CToolDlg() override;

    void OnRepair();

private:
    void FillRepairList();

    std::unique_ptr<Ui::CToolDlg> ui_;
};
