// "Tools": lists the COM numbers claimed without a device and releases the
// chosen claim on "Repair".
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class RepairDialog;
}

class RepairDialog : public QDialog {
    Q_OBJECT
public:
    // say: shows the dialog's message to the person.
    RepairDialog(QWidget* parent, std::function<void(const QString&)> say);
    ~RepairDialog() override;

    void OnRepair();

private:
    void FillRepairList();

    std::unique_ptr<Ui::RepairDialog> ui_;
    std::function<void(const QString&)> say_;
};
