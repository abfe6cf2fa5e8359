// The language dialog: lists the language files of the language folder and, on OK, makes
// the chosen one current and re-applies it to every open console window at once.
#pragma once
#include <QDialog>
#include <QObject>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;

namespace lvlang {
class ComboLanguageBox;
}

namespace pelmar::dialogs {

// Tells windows that a new language was applied to all registered windows, for the texts a
// window builds at run time (a caption with a suffix, computed headers). Windows register
// with pelmar::ui::RegisterLanguageWindow to have their tagged controls re-translated.
class LanguageEvents : public QObject {
    Q_OBJECT
public:
    static LanguageEvents& Instance();
signals:
    void LanguageChanged();
};

class frmLanguage : public QDialog {
    Q_OBJECT
public:
    explicit frmLanguage(QWidget* parent = nullptr);
    ~frmLanguage() override;
    bool IsOK() const { return ok_; }

private:
    QComboBox* cboLanguage;
    QLabel* labCaption[3];
    QLabel* labLanguage;
    QLabel* labLangID;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    QLabel* Image1;
    std::unique_ptr<lvlang::ComboLanguageBox> box_;
    bool ok_ = false;
};

// Shows the language dialog modally; true when the user confirmed a language (it is then
// applied to every registered window and LanguageChanged is emitted).
bool ShowLanguageChange(QWidget* parent = nullptr);

// "0x" and the last four upper-case hexadecimal digits of lcid + 65536 (1033 -> "0x0409").
QString LcidText(int32_t lcid);

} // namespace pelmar::dialogs
