#include "pelmar/ui/IpAddressEditor.h"

#include "pelmar/ui/QtPropertyHost.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTimer>

namespace pelmar::ui {

IpAddressEditor::IpAddressEditor(QWidget* parent) : QGroupBox(QStringLiteral("0.0.0.0"), parent) {
    setObjectName(QStringLiteral("FrameIP"));
    auto* ipRow = new QHBoxLayout(this);
    Label5 = new QLabel(QStringLiteral("IP"), this);
    Label5->setObjectName(QStringLiteral("Label5"));
    SetTag(Label5, QStringLiteral("lng:{cap=12100}"));
    ipRow->addWidget(Label5);
    for (int i = 0; i < 4; ++i) {
        txtIP[i] = new QLineEdit(QStringLiteral("0"), this);
        txtIP[i]->setObjectName(QStringLiteral("txtIP_%1").arg(i));
        txtIP[i]->setMaxLength(3);
        txtIP[i]->setAlignment(Qt::AlignCenter);
        txtIP[i]->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("000")) + 8);
        txtIP[i]->installEventFilter(this);
        ipRow->addWidget(txtIP[i], 1);
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setObjectName(QStringLiteral("lblIP_%1").arg(i));
            ipRow->addWidget(dot);
        }
        connect(txtIP[i], &QLineEdit::textChanged, this, [this, i](const QString& t) {
            bool ok = false;
            const int v = t.toInt(&ok);
            if (ok && v > 255) {
                // The field is mended before a message takes the focus away from it.
                txtIP[i]->setText(QStringLiteral("255"));
                emit OutOfRange();
            }
        });
    }
}

QString IpAddressEditor::Address() const {
    QStringList parts;
    for (int i = 0; i < 4; ++i)
        parts << QString::number(Field(i));
    return parts.join(QLatin1Char('.'));
}

int IpAddressEditor::Field(int i) const {
    return txtIP[i]->text().toInt();
}

void IpAddressEditor::SetFields(const std::array<int, 4>& fields) {
    for (int i = 0; i < 4; ++i)
        txtIP[i]->setText(QString::number(fields[i]));
    setTitle(Address());
}

bool IpAddressEditor::eventFilter(QObject* watched, QEvent* event) {
    for (int i = 0; i < 4; ++i) {
        if (watched != txtIP[i]) continue;
        switch (event->type()) {
        case QEvent::FocusIn:
            QTimer::singleShot(0, txtIP[i], &QLineEdit::selectAll);
            break;
        case QEvent::FocusOut:
            FieldLostFocus(i);
            break;
        case QEvent::KeyPress:
            return FieldKey(i, static_cast<QKeyEvent*>(event), false);
        case QEvent::KeyRelease:
            return FieldKey(i, static_cast<QKeyEvent*>(event), true);
        default:
            break;
        }
    }
    return QGroupBox::eventFilter(watched, event);
}

void IpAddressEditor::FieldLostFocus(int i) {
    txtIP[i]->setText(QString::number(Field(i)));
    setTitle(Address());
}

bool IpAddressEditor::FieldKey(int i, QKeyEvent* k, bool release) {
    QLineEdit* e = txtIP[i];
    QLineEdit* next = txtIP[(i + 1) % 4];
    QLineEdit* prev = txtIP[(i + 3) % 4];
    const int key = k->key();
    if (release) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9 && e->text().size() == 3 && i != 3)
            next->setFocus(Qt::TabFocusReason);
        return false;
    }
    switch (key) {
    case Qt::Key_Right:
        if (e->cursorPosition() == e->text().size() && !e->hasSelectedText()) {
            next->setFocus(Qt::TabFocusReason);
            return true;
        }
        return false;
    case Qt::Key_Left:
        if (e->cursorPosition() == 0 && !e->hasSelectedText()) {
            prev->setFocus(Qt::BacktabFocusReason);
            return true;
        }
        return false;
    case Qt::Key_Up:
        if (Field(i) < 255) e->setText(QString::number(Field(i) + 1));
        return true;
    case Qt::Key_Down:
        if (Field(i) > 0) e->setText(QString::number(Field(i) - 1));
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        next->setFocus(Qt::TabFocusReason);
        return true;
    case Qt::Key_Backspace:
        if (e->text().isEmpty()) {
            prev->setFocus(Qt::BacktabFocusReason);
            return true;
        }
        return false;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
    case Qt::Key_Home:
    case Qt::Key_End:
        return false;
    default:
        break;
    }
    const QString t = k->text();
    if (t.size() == 1 && t[0].isDigit()) return false;
    // Shortcuts (Ctrl+C ...) pass; every other character is dropped.
    return !(k->modifiers() & Qt::ControlModifier) && !t.isEmpty();
}

} // namespace pelmar::ui
