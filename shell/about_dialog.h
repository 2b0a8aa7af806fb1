#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class AboutDialog;
}

// The About box: version line, a notice and which backend the ports use; OK, Esc and the close box end it.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr, const QString& backendNote = {});
    ~AboutDialog() override;

private:
    std::unique_ptr<Ui::AboutDialog> ui_;
};
