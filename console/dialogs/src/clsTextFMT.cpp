#include "pelmar/dialogs/clsTextFMT.h"

#include <lvlang/AnsiCodec.h>

#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <cmath>

namespace pelmar::dialogs {

namespace {

bool IsHexDigit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool InClass(int type, QChar c) {
    if (type == clsTextFMT::FMTDecimal) return c >= '0' && c <= '9';
    if (type == clsTextFMT::FMTHex) return IsHexDigit(c);
    return true;
}

int CharBytes(const QString& ch) {
    // A character the code page cannot hold in one byte takes two (a double-byte character).
    if (!lvlang::AnsiCodec::canEncode(ch)) return 2;
    return lvlang::AnsiCodec::fromUnicode(ch).size() == 1 ? 1 : 2;
}

// The text split into whole characters (surrogate pairs kept together).
QStringList Characters(const QString& text) {
    QStringList out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out << text.mid(i, 2);
            ++i;
        } else {
            out << QString(text[i]);
        }
    }
    return out;
}

} // namespace

clsTextFMT::clsTextFMT(QObject* parent) : QObject(parent) {}

int clsTextFMT::AnsiByteLen(const QString& text) {
    int n = 0;
    for (const QString& ch : Characters(text))
        n += CharBytes(ch);
    return n;
}

void clsTextFMT::SetFMTTextBox(QWidget* box) {
    if (edit_) edit_->removeEventFilter(this);
    if (box_) disconnect(box_, nullptr, this, nullptr);
    if (edit_) disconnect(edit_, nullptr, this, nullptr);
    box_ = nullptr;
    edit_ = nullptr;
    editObject_ = nullptr;
    isCombo_ = false;
    if (auto* le = qobject_cast<QLineEdit*>(box)) {
        edit_ = le;
    } else if (auto* cb = qobject_cast<QComboBox*>(box)) {
        if (!cb->isEditable()) cb->setEditable(true);
        edit_ = cb->lineEdit();
        isCombo_ = true;
    }
    if (!edit_) return;
    box_ = box;
    editObject_ = edit_.data();
    edit_->installEventFilter(this);
    connect(edit_, &QLineEdit::textChanged, this, &clsTextFMT::OnChange);
    ApplyMaxLength();
}

void clsTextFMT::SetFMTType(int32_t t) {
    type_ = t;
    if (IsBound() && !isCombo_) ApplyChange(false);
}

void clsTextFMT::SetMaxValue(double v) {
    max_ = v;
    if (IsBound() && !isCombo_) ApplyChange(false);
}

void clsTextFMT::SetMinValue(double v) {
    min_ = v;
    if (IsBound() && !isCombo_) ApplyChange(false);
}

void clsTextFMT::SetByteLen(int32_t n) {
    byteLen_ = n;
    if (!IsBound()) return;
    ApplyMaxLength();
    if (!isCombo_) ApplyChange(false);
}

void clsTextFMT::SetHaveToFixLen(bool b) {
    fixLen_ = b;
    if (b && IsBound()) {
        QString zeros(std::max(byteLen_, 0), QChar('0'));
        edit_->setText((zeros + edit_->text()).right(std::max(byteLen_, 0)));
    }
}

QString clsTextFMT::Text() const {
    return edit_ ? edit_->text() : QString();
}

void clsTextFMT::SetText(const QString& text) {
    if (edit_) edit_->setText(text);
}

void clsTextFMT::Commit() {
    if (!edit_) return;
    QString t = LostFocusRule(edit_->text());
    if (t != edit_->text()) edit_->setText(t);
}

void clsTextFMT::ApplyMaxLength() {
    // A combo box's text has no length limit of its own; the rules keep it short.
    if (!edit_ || isCombo_) return;
    edit_->setMaxLength(byteLen_ < 1 ? 32767 : byteLen_);
}

bool clsTextFMT::ReadNumber(const QString& text, unsigned long long& value) const {
    if (text.isEmpty() || text.size() > 20) return false;
    for (QChar c : text)
        if (!InClass(type_, c.toUpper())) return false;
    bool ok = false;
    value = text.toULongLong(&ok, type_ == FMTHex ? 16 : 10);
    return ok;
}

QString clsTextFMT::NumberText(double value) const {
    const auto n = static_cast<unsigned long long>(std::llround(std::max(value, 0.0)));
    QString s = QString::number(n, type_ == FMTHex ? 16 : 10).toUpper();
    if (byteLen_ > 0) s = (QString(byteLen_, QChar('0')) + s).right(byteLen_);
    return s;
}

bool clsTextFMT::CanGrowIntoRange(unsigned long long value, int length) const {
    const unsigned long long base = type_ == FMTHex ? 16 : 10;
    unsigned long long span = 1;
    for (int extra = 1; extra <= 20; ++extra) {
        if (byteLen_ > 0 && length + extra > byteLen_) return false;
        span *= base;
        const long double lo = static_cast<long double>(value) * span;
        const long double hi = lo + span - 1;
        if (lo > max_) return false;
        if (hi >= min_) return true;
    }
    return false;
}

bool clsTextFMT::KeyAccepted(QChar ch, const QString& candidate) const {
    if (!InClass(type_, ch)) return false;
    if (type_ == FMTText) return byteLen_ < 1 || AnsiByteLen(candidate) <= byteLen_;
    if (!RangeChecked()) return byteLen_ < 1 || candidate.size() <= byteLen_;
    unsigned long long v = 0;
    if (!ReadNumber(candidate, v)) return false;
    const double d = static_cast<double>(v);
    if (d > max_) return false;
    if (d >= min_) return true;
    // Below the minimum: fine as long as more digits can still make a value in range
    // ("2" on the way to "20" with a minimum of 5).
    return CanGrowIntoRange(v, candidate.size());
}

QString clsTextFMT::ChangeRule(const QString& text, bool typed) const {
    if (text.isEmpty()) return text;
    if (type_ == FMTText) {
        if (byteLen_ < 1 || AnsiByteLen(text) <= byteLen_) return text;
        QString out;
        int bytes = 0;
        for (const QString& ch : Characters(text)) {
            const int b = CharBytes(ch);
            if (bytes + b > byteLen_) break;
            bytes += b;
            out += ch;
        }
        return out;
    }
    if (RangeChecked()) {
        unsigned long long v = 0;
        if (!ReadNumber(text, v)) return NumberText(max_);
        const double d = static_cast<double>(v);
        if (d > max_) return NumberText(max_);
        if (d < min_) {
            if (typed && CanGrowIntoRange(v, text.size())) return text;
            return NumberText(min_);
        }
        return text;
    }
    // Pasted text may carry characters the key filter would have refused.
    QString out;
    for (QChar c : text) {
        c = c.toUpper();
        if (InClass(type_, c)) out += c;
    }
    if (byteLen_ > 0 && out.size() > byteLen_) out.truncate(byteLen_);
    return out;
}

QString clsTextFMT::LostFocusRule(const QString& text) const {
    QString t = text;
    if (type_ != FMTText && RangeChecked() && !t.isEmpty()) t = ChangeRule(t, false);
    if (fixLen_ && AnsiByteLen(t) != byteLen_) {
        const int n = std::max(byteLen_, 0);
        t = (QString(n, QChar('0')) + t).right(n);
    }
    return t;
}

void clsTextFMT::OnChange() {
    ApplyChange(typing_);
}

void clsTextFMT::ApplyChange(bool typed) {
    if (!edit_ || inChange_) return;
    const QString before = edit_->text();
    const QString after = ChangeRule(before, typed);
    if (after == before) return;
    inChange_ = true;
    int caret = edit_->cursorPosition();
    edit_->setText(after);
    if (type_ == FMTText)
        edit_->setCursorPosition(std::min(caret, int(after.size())));
    else
        edit_->setCursorPosition(after.size());
    inChange_ = false;
}

bool clsTextFMT::eventFilter(QObject* watched, QEvent* event) {
    if (watched != editObject_ || event->type() == QEvent::Destroy || !edit_) return false;
    if (event->type() == QEvent::FocusOut && !isCombo_) {
        Commit();
        return false;
    }
    if (event->type() != QEvent::KeyPress) return false;
    auto* ke = static_cast<QKeyEvent*>(event);
    if (ke->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) return false;
    if (ke->key() == Qt::Key_Backspace || ke->key() == Qt::Key_Delete) {
        typing_ = true;
        if (ke->key() == Qt::Key_Backspace)
            edit_->backspace();
        else
            edit_->del();
        typing_ = false;
        return true;
    }
    const QString typed = ke->text();
    if (typed.isEmpty()) return false;
    QString ch = typed;
    if (type_ != FMTText) ch = ch.toUpper();
    if (ch.size() == 1 && (ch[0].unicode() < 32 || ch[0].unicode() == 127)) return false;
    if (ch.size() > 1 && !(ch.size() == 2 && ch[0].isHighSurrogate())) return false;
    const QString text = edit_->text();
    int start = edit_->cursorPosition(), length = 0;
    if (edit_->hasSelectedText()) {
        start = edit_->selectionStart();
        length = edit_->selectedText().size();
    }
    const QString candidate = text.left(start) + ch + text.mid(start + length);
    if (!KeyAccepted(ch[0], candidate)) return true;
    if (!isCombo_ && edit_->maxLength() < candidate.size()) return true;
    typing_ = true;
    edit_->insert(ch);
    typing_ = false;
    return true;
}

} // namespace pelmar::dialogs
