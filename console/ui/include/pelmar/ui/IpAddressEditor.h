// The main window's address of a device server ("FrameIP"): four fields of 0 to 255 under
// a frame whose caption shows the address. Digits only; a field above 255 becomes 255 (and
// OutOfRange is emitted so the window can say so); leaving a field writes it as a plain
// number and updates the caption. Keys: Up/Down step the field, Right/Left at the field's
// end or start, Return, Enter and Space move between the fields, Backspace in an empty
// field goes back; a full field of three typed digits moves on.
#pragma once
#include <QGroupBox>
#include <QString>
#include <array>

class QKeyEvent;
class QLabel;
class QLineEdit;

namespace pelmar::ui {

class IpAddressEditor : public QGroupBox {
    Q_OBJECT
public:
    explicit IpAddressEditor(QWidget* parent = nullptr);

    // The address of the four fields ("0.0.0.0" at first); leading zeros and empty fields
    // read as numbers ("010" is 10, "" is 0).
    QString Address() const;
    // Writes the four numbers of a stored address and shows it in the caption (a number
    // above 255 is mended as a typed one is).
    void SetFields(const std::array<int, 4>& fields);
    // The field i as a number.
    int Field(int i) const;

    QLabel* Label5 = nullptr;
    std::array<QLineEdit*, 4> txtIP{};

signals:
    // A field was given a number above 255 (it holds 255 now).
    void OutOfRange();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FieldLostFocus(int i);
    bool FieldKey(int i, QKeyEvent* k, bool release);
};

} // namespace pelmar::ui
