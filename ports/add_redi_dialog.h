// "Virtual Com Property": the settings of a new port (Add) or of an existing
// one (Property). It only collects values; the port commands act on them.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

struct PortRecord;
namespace Ui {
class CAddREdiDlg;
}

// The dialog's data fields.
struct PortSettings {
    int comNumber = -1;  // n of COMn, 1 to 256; -1 while none is chosen
    QString remoteHost;
    QString localPort;
    QString remotePort;
    QString localHost;
    int mode = 0;
    int useCustom = 0;
    QString deviceName;
    uint32_t idleTime = 0;
    uint32_t keepAlive = 0;
    int emuBR = 0;
    int chkDTR = 0;
};

// Asks whether a device name exists; on yes, fills its target path. Gives
// 0 free, 1 exists, 2 exists but the target does not fit the given size.
using DeviceLookup = std::function<int(const char* name, size_t size, std::string* target)>;

class CAddREdiDlg : public QDialog {
    Q_OBJECT
public:
    // Add mode: fields from the last-used values.
    CAddREdiDlg(QWidget* parent, QStringList namesInUse, DeviceLookup lookup);
    // Property mode: fields from the record.
    CAddREdiDlg(QWidget* parent, PortRecord* record, QStringList namesInUse, DeviceLookup lookup);
    ~CAddREdiDlg() override;

    PortSettings& Fields() { return f_; }
    const PortSettings& Fields() const { return f_; }
    PortRecord* Record() const { return record_; }

    // The values every OK leaves behind for the next dialog.
    static PortSettings& LastUsed();
    static void ResetLastUsed();

    void OnOK();
    void OnUseCustomProtocol();

    // For tests: the controls.
    Ui::CAddREdiDlg& Controls() { return *ui_; }

private:
    void OnInitDialog();
    void FillComList();
    void FieldsToControls();
    // Gives false (with its message shown) when a time-out is not a number.
    bool ControlsToFields();
    void SetInputsEnabled(bool on);

    std::unique_ptr<Ui::CAddREdiDlg> ui_;
    PortSettings f_;
    PortRecord* record_ = nullptr;
    QStringList namesInUse_;
    DeviceLookup lookup_;
};
