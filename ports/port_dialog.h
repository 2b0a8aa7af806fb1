// "Virtual Com Property": the settings of a new port (Add) or of an existing
// one (Property). It only collects values; the port commands act on them.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/port_settings.h"

struct PortRecord;
namespace Ui {
class PortDialog;
}

// Asks whether a device name exists; on yes, fills its target path. Gives
// 0 free, 1 exists, 2 exists but the target does not fit the given size.
using DeviceLookup = std::function<int(const char* name, size_t size, std::string* target)>;
// Shows one of the dialog's messages to the person.
using DialogMessage = std::function<void(const QString& text)>;

class PortDialog : public QDialog {
    Q_OBJECT
public:
    // Add mode (record nullptr) or Property mode for the record, the fields
    // from `settings`. namesInUse: the COM names present.
    PortDialog(QWidget* parent, const PortSettings& settings, const PortRecord* record,
                QStringList namesInUse, DeviceLookup lookup, DialogMessage say);
    ~PortDialog() override;

    PortSettings& Fields() { return f_; }
    const PortSettings& Fields() const { return f_; }

    void OnOK();
    void OnUseCustomProtocol();
    // Dead-peer seconds apply to the TCP modes only, RFC 2217 to tcpclient.
    void OnWorkModeChanged();

    // For tests: the controls.
    Ui::PortDialog& Controls() { return *ui_; }

private:
    void OnInitDialog();
    void FillComList();
    void FieldsToControls();
    // Gives false (with its message shown) when a time-out is not a number.
    bool ControlsToFields();
    // Gives false (with its message shown) when a setting is out of range.
    bool FieldsPassCheck();
    void SetInputsEnabled(bool on);

    std::unique_ptr<Ui::PortDialog> ui_;
    PortSettings f_;
    const PortRecord* record_ = nullptr;
    QStringList namesInUse_;
    DeviceLookup lookup_;
    DialogMessage say_;
};
