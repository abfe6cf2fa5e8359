// Input rules for one text box or combo box: a key filter, a rule run on every change of
// the text and a rule run when a text box loses the focus. Decimal and hexadecimal numbers
// with an optional value range and length, or free text limited in ANSI bytes.
#pragma once
#include <QComboBox>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>

namespace pelmar::dialogs {

class clsTextFMT : public QObject {
    Q_OBJECT
public:
    enum FMTTypes { FMTDecimal = 0, FMTHex = 1, FMTText = 2 };

    explicit clsTextFMT(QObject* parent = nullptr);

    // Binds to a QLineEdit or a QComboBox; any other widget (or null) leaves the formatter
    // unbound and inactive.
    void SetFMTTextBox(QWidget* box);
    bool IsBound() const { return edit_ != nullptr; }

    // 0 decimal number, 1 hexadecimal number, 2 free text limited to ByteLen ANSI bytes.
    void SetFMTType(int32_t t);
    // Range checking is on when MaxValue > 0 and MaxValue >= MinValue.
    double MaxValue() const { return max_; }
    void SetMaxValue(double v);
    double MinValue() const { return min_; }
    void SetMinValue(double v);
    // Characters (types 0, 1) or ANSI bytes (type 2); 0 = no limit. Also the text box's
    // maximum length.
    void SetByteLen(int32_t n);
    // Pads the text with leading "0" to ByteLen characters (at once and on lost focus).
    void SetHaveToFixLen(bool b);

    // The bound control's text ("" when unbound).
    QString Text() const;
    void SetText(const QString& text);

    // Runs the lost-focus rule now: a dialog calls it before it takes the value, because a
    // click on a default button by Enter does not move the focus.
    void Commit();

    // The rules on plain strings (what the event handlers apply).
    bool RangeChecked() const { return max_ > 0 && max_ >= min_; }
    // Whether a printable key `ch` (already upper-cased for numbers) may go in; `candidate`
    // is the text the box would hold after it.
    bool KeyAccepted(QChar ch, const QString& candidate) const;
    // The text after the change rule. `typed` marks a change made by an accepted key (or by
    // Backspace/Delete): a number below the minimum that can still grow into the range is
    // left for the lost-focus rule.
    QString ChangeRule(const QString& text, bool typed) const;
    QString LostFocusRule(const QString& text) const;
    // ANSI byte length: 1 per character the code page holds in one byte, else 2.
    static int AnsiByteLen(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnChange();
    void ApplyChange(bool typed);
    void ApplyMaxLength();
    bool ReadNumber(const QString& text, unsigned long long& value) const;
    QString NumberText(double value) const;
    bool CanGrowIntoRange(unsigned long long value, int length) const;

    QPointer<QWidget> box_;
    QPointer<QLineEdit> edit_;
    // The bound edit as a plain object, for telling its events apart: while the edit is being
    // destroyed it is no longer a QLineEdit, and reading edit_ then would be a bad downcast.
    const QObject* editObject_ = nullptr;
    bool isCombo_ = false;
    int32_t type_ = FMTDecimal;
    double max_ = 0, min_ = 0;
    int32_t byteLen_ = 0;
    bool fixLen_ = false;
    bool typing_ = false;
    bool inChange_ = false;
};

} // namespace pelmar::dialogs
