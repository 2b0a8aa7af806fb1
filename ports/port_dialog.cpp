#include "ports/port_dialog.h"

#include <QLineEdit>

#include "engine/port_table.h"
#include "engine/com_name.h"
#include "engine/limits.h"
#include "ui_port_dialog.h"

namespace {

// An unsigned whole number that fits 32 bits, blanks around allowed.
bool ParseUnsigned(const QString& text, uint32_t* out)
{
    bool ok = false;
    qulonglong v = text.trimmed().toULongLong(&ok, 10);
    if (!ok || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

PortDialog::PortDialog(QWidget* parent, const PortSettings& settings, const PortRecord* record,
                         QStringList namesInUse, DeviceLookup lookup, DialogMessage say)
    : QDialog(parent), ui_(std::make_unique<Ui::PortDialog>()), f_(settings), record_(record),
      namesInUse_(std::move(namesInUse)), lookup_(std::move(lookup)), say_(std::move(say))
{
    OnInitDialog();
}

PortDialog::~PortDialog() = default;

void PortDialog::OnInitDialog()
{
    ui_->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui_->okButton, &QPushButton::clicked, this, &PortDialog::OnOK);
    connect(ui_->useCustomProtocol, &QCheckBox::clicked, this, &PortDialog::OnUseCustomProtocol);
    connect(ui_->workMode, &QComboBox::currentIndexChanged, this, &PortDialog::OnWorkModeChanged);
    FieldsToControls();
    FillComList();
    if (record_) {
        QString own = QString::fromLatin1(record_->name);
        int item = -1;
        for (int i = 0; i < ui_->comPort->count() && !own.isEmpty(); ++i) {
            // COM1 stands before COM10 to COM19, so the first match is the port.
            if (ui_->comPort->itemText(i).startsWith(own, Qt::CaseInsensitive)) {
                item = i;
                break;
            }
        }
        ui_->comPort->setCurrentIndex(item);
        if (record_->state.load() != STATE_STOPPED)
            SetInputsEnabled(false);
    } else {
        ui_->comPort->setCurrentIndex(f_.comNumber >= 1 ? f_.comNumber - 1 : -1);
        OnUseCustomProtocol();
    }
    OnWorkModeChanged();
}

void PortDialog::FillComList()
{
    QStringList inUse = namesInUse_;
    for (int i = 1; i <= kComNumberMax; ++i) {
        QString text = QString::fromStdString(ComName(i));
        if (inUse.removeOne(text)) {
            bool current = record_ && text == QString::fromLatin1(record_->name);
            text += current ? QStringLiteral("(Current)") : QStringLiteral("(In Use)");
        } else if (f_.comNumber == -1) {
            f_.comNumber = i;
        }
        ui_->comPort->insertItem(i - 1, text);
    }
}

void PortDialog::FieldsToControls()
{
    ui_->remoteHost->setText(QString::fromStdString(f_.remoteHost));
    ui_->localPort->setText(QString::fromStdString(f_.localPort));
    ui_->remotePort->setText(QString::fromStdString(f_.remotePort));
    ui_->localHost->setText(QString::fromStdString(f_.localHost));
    ui_->workMode->setCurrentIndex(f_.mode >= 0 && f_.mode <= 2 ? f_.mode : -1);
    ui_->useCustomProtocol->setChecked(f_.useCustom != 0);
    ui_->deviceName->setText(QString::fromStdString(f_.deviceName));
    ui_->idle->setText(QString::number(f_.idleTime));
    ui_->keepalive->setText(QString::number(f_.keepAlive));
    ui_->deadPeer->setText(QString::number(f_.deadPeer));
    ui_->emulateBaudRate->setChecked(f_.emuBR != 0);
    ui_->detectDtr->setChecked(f_.detectDtr != 0);
    ui_->rfc2217->setChecked(f_.rfc2217 != 0);
    ui_->line->setText(QString::fromStdString(f_.line));
}

bool PortDialog::ControlsToFields()
{
    // Blanks around an address or a port are no part of it.
    f_.remoteHost = ui_->remoteHost->text().trimmed().toStdString();
    f_.localPort = ui_->localPort->text().trimmed().toStdString();
    f_.remotePort = ui_->remotePort->text().trimmed().toStdString();
    f_.localHost = ui_->localHost->text().trimmed().toStdString();
    f_.mode = ui_->workMode->currentIndex();
    f_.useCustom = ui_->useCustomProtocol->isChecked() ? 1 : 0;
    // The field takes at most 31 characters (maxLength in the .ui), what a
    // record keeps; the commands still cut the bytes to fit the record.
    f_.deviceName = ui_->deviceName->text().toStdString();
    f_.emuBR = ui_->emulateBaudRate->isChecked() ? 1 : 0;
    f_.detectDtr = ui_->detectDtr->isChecked() ? 1 : 0;
    f_.rfc2217 = ui_->rfc2217->isChecked() ? 1 : 0;
    f_.line = ui_->line->text().trimmed().toStdString();
    for (auto [edit, field] : {std::pair{ui_->idle, &f_.idleTime}, std::pair{ui_->keepalive, &f_.keepAlive},
                               std::pair{ui_->deadPeer, &f_.deadPeer}}) {
        if (!ParseUnsigned(edit->text(), field)) {
            say_(QStringLiteral("Please enter a positive integer."));
            edit->setFocus();
            edit->selectAll();
            return false;
        }
    }
    return true;
}

bool PortDialog::FieldsPassCheck()
{
    std::string error;
    if (CheckPortSettings(f_, &error))
        return true;
    QString text = QString::fromStdString(error);
    text[0] = text[0].toUpper();
    say_(text + QLatin1Char('.'));
    return false;
}

void PortDialog::SetInputsEnabled(bool on)
{
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui_->workMode, ui_->localHost, ui_->localPort, ui_->remoteHost, ui_->remotePort,
             ui_->comPort, ui_->useCustomProtocol, ui_->deviceName, ui_->keepalive, ui_->idle,
             ui_->emulateBaudRate, ui_->detectDtr, ui_->deadPeer, ui_->rfc2217, ui_->line})
        w->setEnabled(on);
}

void PortDialog::OnUseCustomProtocol()
{
    bool on = ui_->useCustomProtocol->isChecked();
    f_.useCustom = on ? 1 : 0;
    for (QWidget* w : {static_cast<QWidget*>(ui_->deviceName), static_cast<QWidget*>(ui_->keepalive),
                       static_cast<QWidget*>(ui_->idle)})
        w->setEnabled(on);
}

void PortDialog::OnWorkModeChanged()
{
    // A running port's inputs stay disabled whatever its mode.
    ui_->deadPeer->setEnabled(ui_->workMode->isEnabled() && ui_->workMode->currentIndex() != MODE_UDP);
    ui_->rfc2217->setEnabled(ui_->workMode->isEnabled() && ui_->workMode->currentIndex() == MODE_TCPCLIENT);
}

void PortDialog::OnOK()
{
    bool valid = ControlsToFields();
    int com = f_.comNumber;
    f_.comNumber = -1;
    LastUsedPortSettings() = f_;
    f_.comNumber = com;
    if (!valid)
        return;
    int item = ui_->comPort->currentIndex();
    if (item < 0) {
        say_(QStringLiteral("No Port Number is available"));
        return;
    }
    f_.comNumber = item + 1;
    if (!FieldsPassCheck())
        return;
    if (record_) {
        const std::string name = ComName(f_.comNumber);
        if (name != record_->name && lookup_) {
            std::string target;
            int found = lookup_(name.c_str(), 80, &target);
            if (found == 1) {
                say_(QStringLiteral("The port name %1 is already used for other device %2")
                                            .arg(QString::fromStdString(name), QString::fromLocal8Bit(target.c_str())));
                return;
            }
            if (found == 2) {
                say_(QStringLiteral("The port name %1 is already used for other device %2.")
                                            .arg(QString::fromStdString(name), QString()));
                return;
            }
        }
    }
    accept();
}
