// The Tools command: release COM numbers claimed without a device.
#include "ports/repair_dialog.h"

#include "ports/com_repair.h"
#include "ui_repair_dialog.h"

RepairDialog::RepairDialog(QWidget* parent, PairSetup& pairs, std::function<void(const QString&)> say)
    : QDialog(parent), ui_(std::make_unique<Ui::RepairDialog>()), pairs_(pairs), say_(std::move(say))
{
    ui_->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui_->repairButton, &QPushButton::clicked, this, &RepairDialog::OnRepair);
    FillRepairList();
    ui_->repairButton->setEnabled(ui_->repairList->count() > 0);
}

RepairDialog::~RepairDialog() = default;

void RepairDialog::FillRepairList()
{
    for (const std::string& name : StaleComClaims(pairs_))
        ui_->repairList->addItem(QString::fromStdString(name));
    ui_->repairList->setCurrentIndex(ui_->repairList->count() > 0 ? 0 : -1);
}

void RepairDialog::OnRepair()
{
    QComboBox* list = ui_->repairList;
    int item = list->currentIndex();
    if (item < 0) {
        say_(QStringLiteral("No item is selected"));
        return;
    }
    if (ReleaseComClaim(pairs_, list->itemText(item).toStdString())) {
        list->removeItem(item);
        // Another press must not release a claim the user did not pick.
        list->setCurrentIndex(-1);
    }
    ui_->repairButton->setEnabled(list->count() > 0);
}
