// "Tools": lists the COM numbers claimed without a device and releases the
// chosen claim on "Repair".
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

namespace Ui {
class RepairDialog;
}
class PairSetup;

class RepairDialog : public QDialog {
    Q_OBJECT
public:
    // pairs: the layer whose claims are repaired; say: shows the dialog's
    // message to the person.
    RepairDialog(QWidget* parent, PairSetup& pairs, std::function<void(const QString&)> say);
    ~RepairDialog() override;

    void OnRepair();

private:
    void FillRepairList();

    std::unique_ptr<Ui::RepairDialog> ui_;
    PairSetup& pairs_;
    std::function<void(const QString&)> say_;
};
