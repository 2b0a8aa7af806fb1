// "Option": the start-up flags that the user edits. Three are ticked in check
// boxes; the detect-DSR flag has no control and travels through unchanged.
#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>

#include "config/options_file.h"

namespace Ui {
class OptionDialog;
}

class OptionDialog : public QDialog {
    Q_OBJECT
public:
    OptionDialog(int32_t addNew, int32_t startup, int32_t detectDsr, int32_t autoRun,
               QWidget* parent);
    ~OptionDialog() override;

    // The four flags: as constructed, and after OK as the boxes were ticked.
    const StartupSettings& Flags() const { return flags_; }

    // Takes the boxes into the flags and closes the dialog with OK.
    void OnOK();

private:
    // Moves the three bound flags into the boxes, or (save) back.
    void DoDataExchange(bool save);

    std::unique_ptr<Ui::OptionDialog> ui_;
    StartupSettings flags_;
};
